#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <thread>

#include "evaluator.h"
#include "primitives.h"
#include "real.h"
#include "test_support.h"

using namespace velmoratrix;

namespace {

constexpr long double kInf = std::numeric_limits<long double>::infinity();
constexpr long double kNaN = std::numeric_limits<long double>::quiet_NaN();
// The doubles nearest to pi and e, widened: what number texts and cells hold.
constexpr long double kPi = 3.141592653589793;
constexpr long double kE = 2.718281828459045;

enum class Throws { Nothing, InvalidArgument, OutOfRange };

struct Case {
    const char* input;
    long double expected; // NaN: any not-a-number
    Throws throws = Throws::Nothing;
};

void check(MathEvaluator& m, const Case& c) {
    SCOPED_TRACE(std::string("input: ") + c.input);
    try {
        const long double value = m.eval(c.input);
        ASSERT_EQ(c.throws, Throws::Nothing) << "returned " << static_cast<double>(value);
        if (std::isnan(c.expected))
            EXPECT_TRUE(std::isnan(value)) << static_cast<double>(value);
        else
            EXPECT_EQ(value, c.expected);
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(c.throws, Throws::InvalidArgument);
        EXPECT_STREQ(e.what(), "stod");
    } catch (const std::out_of_range& e) {
        EXPECT_EQ(c.throws, Throws::OutOfRange);
        EXPECT_STREQ(e.what(), "stod");
    }
}

const Throws kBad = Throws::InvalidArgument;
const Throws kRange = Throws::OutOfRange;

// Results that do not depend on accuracyOverEfficiency.
const Case kCommon[] = {
    {"", 0},
    {"3+4*2/(1-5)^2^3", 3 + 0x1p-13L},
    {"2-3", -1},
    {"8-3-2", 3},
    {"8/2", 4},
    {"2^3^2", 512},
    {"-2^2", 4},
    {"2--3", 5},
    {"1/0", kInf},
    {"-1/0", -kInf},
    {"0/0", kNaN},
    {"2 + 3", 5},
    {"1+2)", 3},
    {"2)*3", 6},
    {"1+2)*3", 9}, // a ")" without "(" closes everything before it
    {"2-3)^2", 1},
    {"7-5%3", 5}, // "%" binds like "*"
    {"2+7%4*2", 8},
    {".", 0, Throws::InvalidArgument},
    {".e1", 0, Throws::InvalidArgument},
    {"e5", 0, Throws::InvalidArgument},
    {")", 0},
    {"7%3", 1},
    {"7.9%2.5", 1},
    {"5%0", kNaN},
    {"sqrt(16)", 4},
    {"sqrt(0-1)", kNaN},
    {"asin(2)", kNaN},
    {"0x10+1", 17},
    {"2abc", 2},
    {"inf", kInf},
    {"-inf", -kInf},
    {"nan", kNaN},
    {"INF", kInf},
    {"1e-5", -4}, // "1e" "-" "5", and "1e" reads as 1
    {"1e5", 1e5},
    {"1 /3", wide(Real(1.0) / Real(3.0))}, // extended division of the two doubles
    {"0.1+0.2", static_cast<long double>(0.1) + static_cast<long double>(0.2)},
    {"2*", 0},
    {"sin+1", 0},
    {"2*(-3)", 0},
    {"sin()", 0},
    {"2(3)", 0},
    {"sin(1,2)", 0},
    {",", 0},
    {"!", 0},
    {"x", 0, kBad},
    {"x+1", 0, kBad},
    {"sin (0)", 0, kBad},
    {"(1+2", 0, kBad},
    {"1e999", 0, kRange},
    {"1e-400", -399}, // the exponent's sign splits the token
    {"-", 0},
    {"2^0.5^2", std::pow(2.0, 0.25)},
};

TEST(EvaluationTest, CommonResults) {
    for (bool flag : {true, false}) {
        SCOPED_TRACE(flag ? "accurate" : "efficient");
        MathEvaluator m(flag);
        for (const Case& c : kCommon) check(m, c);
    }
}

// Signs of zero survive: EXPECT_EQ would take -0 for +0.
TEST(EvaluationTest, NegativeZero) {
    MathEvaluator m;
    EXPECT_TRUE(std::signbit(m.eval("-0")));
    EXPECT_FALSE(std::signbit(m.eval("0")));
    EXPECT_EQ(m.eval("1/-0"), -kInf);
}

// Deeper than the stack a run keeps in its frame, and deeper still.
TEST(EvaluationTest, DeepStacks) {
    for (int levels : {40, 70, 300}) {
        std::string text = "1";
        for (int i = 0; i < levels; ++i) text = "1+(" + text + ")";
        MathEvaluator m;
        EXPECT_EQ(m.eval(text), levels + 1) << levels;
    }
}

TEST(EvaluationTest, FactorialDependsOnTheFlag) {
    const long double stirling5 = 118.0191679575901L;
    const Case accurateCases[] = {
        {"5!", 120},         {"3!+1", 7},
        {"3!!", 720},        {"0!", 1},
        {"1000!/1000!", 1},  {"2.5!", 3.214946538651742L},
        {"-2147483648!", 1}, {"1754!/1754!", 1},
        {"1755!", kInf},     {"2147483647!", kInf},
    };
    const Case efficientCases[] = {
        {"0!", 0},
        {"1000!/1000!", kNaN},
        {"(0-3)!", kNaN},
        {"172!", kInf},
    };
    MathEvaluator accurate(true), efficient(false);
    for (const Case& c : accurateCases) {
        if (std::string(c.input) == "2.5!")
            EXPECT_NEAR(static_cast<double>(accurate.eval(c.input)),
                        static_cast<double>(c.expected), 1e-12);
        else
            check(accurate, c);
    }
    for (const Case& c : efficientCases) check(efficient, c);
    EXPECT_NEAR(static_cast<double>(efficient.eval("5!")), static_cast<double>(stirling5), 1e-12);
}

TEST(EvaluationTest, ConstantsOfTheDefaultEngine) {
    EXPECT_EQ(evaluate("pi"), kPi);
    EXPECT_EQ(evaluate("e"), kE);
    EXPECT_EQ(evaluate("sin(pi/2)+cos(0)"), 2);
    EXPECT_EQ(evaluate("5!"), 120);
    EXPECT_EQ(evaluate("1000!/1000!"), 1);
    EXPECT_EQ(evaluate("3+4*2/(1-5)^2^3"), 3 + 0x1p-13L);
    EXPECT_THROW(evaluate("-pi"), std::invalid_argument);
    EXPECT_THROW(evaluate("1e999"), std::out_of_range);
    EXPECT_EQ(evaluate("2*"), 0); // a failure leaves nothing behind for the next call
    EXPECT_EQ(evaluate("2*pi"), 2 * kPi);
    MathEvaluator host(false);
    EXPECT_THROW(host.eval("pi"), std::invalid_argument);
}

// evaluate works at any time of a thread's life: also from the destructor of
// a thread-local object that outlives the thread's cached engine.
TEST(EvaluationTest, EvaluateWorksFromThreadLocalDestructors) {
    static long double seen = 0;
    struct Late {
        ~Late() { seen = evaluate("1+2"); }
    };
    std::thread([] {
        thread_local Late late; // constructed first, so destroyed last
        (void)late;
        EXPECT_EQ(evaluate("2*3"), 6);
    }).join();
    EXPECT_EQ(seen, 3);
}

TEST(EvaluationTest, UnderflowIsARangeError) {
    MathEvaluator m;
    EXPECT_THROW(m.eval("0." + std::string(400, '0') + "1"), std::out_of_range);
    EXPECT_THROW(m.eval("2*1e400"), std::out_of_range);
}

TEST(EvaluationTest, CurrentRecordAfterSuccessAndFailure) {
    MathEvaluator m;
    EXPECT_EQ(m.eval("2*3"), 6);
    EXPECT_EQ(m.currentRPN.RPN, "23*");
    EXPECT_EQ(m.currentRPN.expression, "2*3");
    EXPECT_EQ(m.currentRPN.tokens.head, nullptr);
    EXPECT_EQ(m.currentRPN.RPN_values.head, nullptr);

    EXPECT_EQ(m.eval("2*"), 0);
    EXPECT_EQ(texts(m.currentRPN.tokens), (std::vector<std::string>{"2", "*"}));
    EXPECT_EQ(texts(m.currentRPN.RPN_values), (std::vector<std::string>{"2", "*"}));

    EXPECT_THROW(m.eval("y+1"), std::invalid_argument);
    EXPECT_EQ(m.currentRPN.RPN, "y1+");
    EXPECT_EQ(texts(m.currentRPN.RPN_values), (std::vector<std::string>{"y", "1", "+"}));

    EXPECT_EQ(m.eval("1+1"), 2); // still usable, and the failed record was released
    EXPECT_EQ(m.currentRPN.tokens.head, nullptr);
}

// Number texts are read as in the "C" locale whatever the process has set.
TEST(EvaluationTest, DecimalCommaLocaleDoesNotChangeNumbers) {
    const char* previous = std::setlocale(LC_ALL, nullptr);
    const std::string saved = previous ? previous : "C";
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8") && !std::setlocale(LC_ALL, "German_Germany.1252")) {
        if (std::getenv("VELMO_REQUIRE_LOCALE")) FAIL() << "no de_DE.UTF-8 locale here";
        GTEST_SKIP() << "no de_DE.UTF-8 locale here";
    }
    MathEvaluator m;
    EXPECT_EQ(m.eval("1.5*2"), 3);
    EXPECT_EQ(m.eval("2.50000000000000000000001"), 2.5); // past the quick reading
    EXPECT_EQ(m.eval("0x1.8p1"), 3);
    EXPECT_THROW(m.eval("1e999"), std::out_of_range);
    EXPECT_EQ(m.eval("1,5"), 0); // "," stays a separator: two values left
    std::setlocale(LC_ALL, saved.c_str());
}

// Every pass is linear: these sizes finish in milliseconds; the bound only
// catches a hang or a quadratic walk.
TEST(EvaluationTest, LongInputsEvaluateInLinearTime) {
    std::string chain = "1";
    while (chain.size() < 1000000) chain += "+1";
    std::string nested(100000, '(');
    nested += "1";
    nested += std::string(100000, ')');
    MathEvaluator m;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(m.eval(chain), (chain.size() + 1) / 2);
    EXPECT_EQ(m.eval(nested), 1);
    EXPECT_EQ(m.eval("2*" + nested), 2);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// Random text over the expression alphabet: the evaluator either returns or
// throws one of its two exceptions, and keeps working afterwards.
TEST(EvaluationTest, RandomExpressionsNeverBreakTheEvaluator) {
    const std::string alphabet = "0123456789.eE"
                                 "acinopqrstx"
                                 "!%*+-/^(),  ";
    std::mt19937 random(2024);
    MathEvaluator m;
    double one = 1;
    m.appendVariable("x", one);
    for (int round = 0; round < 5000; ++round) {
        std::string input(random() % 20, ' ');
        for (char& c : input) c = alphabet[random() % alphabet.size()];
        me_RPN compiled = m.compile(input);
        std::string joined;
        for (const std::string& t : texts(compiled.RPN_values)) joined += t;
        ASSERT_EQ(compiled.RPN, joined) << input;
        compiled.freeLists();
        try {
            m.eval(input);
        } catch (const std::invalid_argument&) {
        } catch (const std::out_of_range&) {
        }
        ASSERT_EQ(m.eval("x+1"), 2) << "after " << input;
    }
}

} // namespace

namespace {

// Number texts read exactly as strtod reads them, whatever path they take.
TEST(EvaluationTest, NumbersReadAsStrtodReadsThem) {
    std::mt19937_64 random(77);
    MathEvaluator m;
    auto digits = [&](int n) {
        std::string s;
        for (int i = 0; i < n; ++i) s += static_cast<char>('0' + random() % 10);
        return s;
    };
    for (int round = 0; round < 20000; ++round) {
        std::string text = digits(1 + random() % 18);
        if (random() % 2) text += "." + digits(random() % 18);
        if (random() % 3 == 0) text += "e" + std::to_string(random() % 40);
        if (random() % 4 == 0) text = "00" + text;
        const double expected = std::strtod(text.c_str(), nullptr);
        ASSERT_EQ(m.eval(text), static_cast<long double>(expected)) << text;
    }
    const char* edges[] = {"999999999999999",
                           "-999999999999999",
                           "9999999999999999",
                           "-9999999999999999",
                           "-0",
                           "9007199254740993",
                           "9007199254740992.5",
                           "0.1",
                           "123456789012345678",
                           "1e22",
                           "1e23",
                           "5.",
                           ".5",
                           "0e999",
                           "2.2250738585072011e0",
                           "1e1:", // what follows the exponent's digits is ignored
                           "5e0x",
                           "2e2 "};
    for (const char* text : edges) {
        const long double expected = std::strtod(text, nullptr);
        EXPECT_EQ(m.eval(text), expected) << text;
        EXPECT_EQ(std::signbit(m.eval(text)), std::signbit(expected)) << text;
    }
}

} // namespace

namespace {

long double larger(long double a, long double b) {
    return a > b ? a : b;
}

// Each element of evalMany is what eval gives with the columns' names bound
// to its values: on the block path, on the element-by-element path (a deep
// stack, a function from outside) and for failures.
TEST(EvaluationTest, EvalManyIsElementwiseEval) {
    MathEvaluator m(true);
    m.binaryFunctions["max"] = larger;
    m.argumentCounts["max"] = 2;
    m.functionNames.append("max");
    double k = 3;
    m.appendVariable("k", k);
    std::string deep = "x";
    for (int i = 0; i < 80; ++i) deep = "(1+" + deep + ")";
    const std::vector<double> xs = {0.0, -0.0, 2.5, 5, 171, -1e308, 1.0 / 0.0, 0.0 / 0.0};
    std::vector<double> interleaved;
    for (double x : xs) interleaved.insert(interleaved.end(), {x, -7.0});
    const char* texts[] = {"x*k+y", "sqrt(x*x+y*y)", "x^2-x!", "x%y/x", "max(x,y)+1",
                           "x*",    "sin(x)+tan(y)", "x+q",    "-x",    "y"};
    std::vector<std::string> all(std::begin(texts), std::end(texts));
    all.push_back(deep);
    for (const std::string& text : all) {
        SCOPED_TRACE(text);
        const std::vector<Column> columns = {{"x", interleaved.data(), 2 * sizeof(double)},
                                             {"y", &xs[2], 0}};
        std::vector<double> out(xs.size(), -1.0);
        MathEvaluator scalar(true);
        scalar.binaryFunctions["max"] = larger;
        scalar.argumentCounts["max"] = 2;
        scalar.functionNames.append("max");
        scalar.appendVariable("k", k);
        double x = 0, y = xs[2];
        scalar.appendVariable("x", x);
        scalar.appendVariable("y", y);
        try {
            m.evalMany(text, columns, xs.size(), out.data());
        } catch (const std::invalid_argument&) {
            EXPECT_THROW(scalar.eval(text), std::invalid_argument);
            continue;
        }
        for (std::size_t i = 0; i < xs.size(); ++i) {
            x = xs[i];
            const double expected = static_cast<double>(scalar.eval(text));
            EXPECT_EQ(std::memcmp(&out[i], &expected, sizeof expected), 0) << i << ": " << out[i];
        }
        // Written between the strided column's own values: it is copied first,
        // and a read past its end is caught (the copy has exactly its size).
        std::vector<double> over(interleaved);
        m.evalMany(text, {{"x", over.data(), 2 * sizeof(double)}, {"y", &xs[2], 0}}, xs.size(),
                   over.data() + 1, 2 * sizeof(double));
        for (std::size_t i = 0; i < xs.size(); ++i)
            EXPECT_EQ(std::memcmp(&over[2 * i + 1], &out[i], sizeof(double)), 0) << i;
    }
    EXPECT_EQ(m.getExternalVariables().count("x"), 0u); // the columns registered nothing
}

} // namespace

// A prepared formula gives what eval gives, through every edit eval follows,
// and survives the cache that eval uses; it never writes the record.
TEST(FormulaTest, FollowsEvalThroughEditsAndEviction) {
    MathEvaluator m;
    double x = 0.5, y = 3;
    m.appendVariable("x", x);
    Formula f = m.prepare("x*y+x!");
    const Formula copy = f;
    m.eval("1+");
    const std::string record = m.currentRPN.RPN;
    auto outcome = [](auto&& call) {
        try {
            return std::to_string(call());
        } catch (const std::exception& e) {
            return std::string(e.what());
        }
    };
    auto same = [&](const char* what) {
        SCOPED_TRACE(what);
        const std::string expected = outcome([&] { return m.eval(f.text()); });
        m.eval("1+");
        EXPECT_EQ(outcome([&] { return f.value(); }), expected);
        EXPECT_EQ(m.currentRPN.RPN, record);
        EXPECT_TRUE(m.currentRPN.tokens.head); // the failure's lists stay
    };
    same("y unknown");
    m.appendVariable("y", y);
    for (x = -2; x < 40; x += 1.75) same("x changing");
    m.accuracyOverEfficiency = false;
    same("flag");
    m.operatorFunctions["+"] = _mul;
    same("table edit");
    for (int k = 0; k < 40; ++k) m.eval(std::to_string(k) + "+x"); // evicts its program
    m.releaseCompilations();
    same("evicted");
    m.deleteVariable("x");
    same("x deleted");
    EXPECT_EQ(copy.text(), "x*y+x!");

    std::vector<double> xs{1, 2, 3, 4}, rows(4), many(4);
    m.appendVariable("x", x);
    f.values({{"x", xs.data()}}, 4, rows.data());
    m.evalMany(f.text(), {{"x", xs.data()}}, 4, many.data());
    EXPECT_EQ(rows, many);
}

TEST(FormulaTest, StandardTextIsReadWhenPrepared) {
    MathEvaluator m;
    m.syntax = Syntax::Standard;
    EXPECT_EQ(m.prepare("-2 ** 2 + max(1, 3)").value(), -1.0L);
    EXPECT_THROW(m.prepare("2 +"), ExpressionError);
}

// A NaN that an operation or a C library function makes is x87's negative
// "indefinite" on every platform and path; one passed in keeps its sign and
// payload, as x87's arithmetic keeps them.
TEST(EvaluationTest, OneNaNOnEveryPlatformAndPath) {
    // Passed in negative: glibc's pow drops the sign for a whole exponent.
    constexpr unsigned long long kIndefinite = 0xFFF8000000000000u, kPassed = 0xFFF8000000000123u;
    double passed;
    std::memcpy(&passed, &kPassed, sizeof passed);
    struct NaNCase {
        Syntax syntax;
        const char* text;
        double x; // passed: the NaN above
    };
    const NaNCase cases[] = {
        {Syntax::Classic, "asin(2)", 0},       {Syntax::Classic, "asin(x)", 2},
        {Syntax::Classic, "sqrt(x)", -1},      {Syntax::Classic, "x^0.5", -8},
        {Syntax::Classic, "x^1.5", -8},        {Syntax::Classic, "acos(x)", -2},
        {Syntax::Classic, "x/x", 0},           {Syntax::Classic, "x!", -0.5},
        {Syntax::Classic, "5%x", 0},           {Syntax::Standard, "(-8)**0.5", 0},
        {Syntax::Standard, "acosh(x)", 0.5},   {Syntax::Standard, "x**0.5", -8},
        {Syntax::Standard, "pow(x, 1.5)", -8}, {Syntax::Standard, "sqrt(x)", -1},
        {Syntax::Standard, "fmod(x, 0)", 1},   {Syntax::Classic, "asin(x)", 1},
        {Syntax::Classic, "x+1", 1},           {Syntax::Classic, "sqrt(x)", 1},
        {Syntax::Classic, "x^0.5", 1},         {Syntax::Standard, "log(x)", 1},
        {Syntax::Standard, "x**1.5", 1},       {Syntax::Classic, "x^3", 1},
        {Syntax::Standard, "atan2(x, 1)", 1},
    };
    for (const NaNCase& c : cases) {
        const bool made = c.x != 1;
        const double x = made ? c.x : passed;
        const unsigned long long expected = made ? kIndefinite : kPassed;
        SCOPED_TRACE(c.text);
        MathEvaluator m(true);
        m.syntax = c.syntax;
        double cell = x;
        m.appendVariable("x", cell);
        for (int run = 0; run < 2; ++run) // interpreted, then generated where it can be
            EXPECT_EQ(bitsOf(static_cast<double>(m.eval(c.text))), expected);
        for (std::size_t rows : {3, 700}) { // the block runner, then rows code
            MathEvaluator many(true);
            many.syntax = c.syntax;
            const std::vector<double> column(rows, x);
            std::vector<double> out(rows);
            many.evalMany(c.text, {{"x", column.data()}}, rows, out.data());
            EXPECT_EQ(bitsOf(out.front()), expected);
            EXPECT_EQ(bitsOf(out.back()), expected);
        }
    }
}
