// libFuzzer target: arbitrary bytes through the three passes of one
// long-lived evaluator, and arbitrary operand bit patterns through the
// primitives. Any broken invariant aborts, as does any other exception.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "evaluator.h"
#include "primitives.h"

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

MathEvaluator& engine() {
    static double one = 1, five = 5, seven = 7;
    static MathEvaluator* m = [] {
        auto* e = new MathEvaluator(false);
        e->appendVariable("x", one);
        e->appendVariable("sin", five); // a variable named like a function
        e->appendVariable("2", seven);  // and one named like a number
        return e;
    }();
    return *m;
}

std::string joined(const List<Token>& tokens) {
    std::string out;
    for (const ListNode<Token>* n = tokens.head; n; n = n->next) out += n->value->text;
    return out;
}

void pipeline(const std::string& text) {
    MathEvaluator& m = engine();
    me_SepValues tokens = m.seperate(text);
    require(joined(tokens.tokens) == text);
    tokens.freeLists();

    me_RPN compiled = m.compile(text);
    require(compiled.RPN == joined(compiled.RPN_values));
    require(joined(compiled.tokens) == text);
    compiled.freeLists();

    try {
        m.eval(text);
    } catch (const std::invalid_argument& e) {
        require(std::strcmp(e.what(), "stod") == 0);
    } catch (const std::out_of_range& e) {
        require(std::strcmp(e.what(), "stod") == 0);
    }
    require(m.eval("x+1") == 2); // still working afterwards
}

void primitives(const std::uint8_t* data, std::size_t size) {
    using Primitive = long double (*)(long double, long double, bool);
    static const Primitive all[] = {_add, _sub, _mul, _div, _mod, _pow, _factorial};
    long double left = 0, right = 0;
    std::memcpy(&left, data + 1, 10);
    std::memcpy(&right, data + 11, 10);
    const bool flag = data[0] & 1;
    (void)size;
    for (Primitive p : all) (void)p(left, right, flag);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // 21 bytes starting with 0xFF: a flag byte and two 80-bit operands.
    if (size == 21 && data[0] == 0xFF) {
        primitives(data, size);
        return 0;
    }
    pipeline(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
