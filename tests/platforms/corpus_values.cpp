// What the engine gives, through its C++ API, for every text of a folder
// (the fuzzer's corpus) and of a file of texts (one a line): in both
// syntaxes, with both flags, and over rows. Each value is written as its
// bits (80 of them for eval's), each failure as its kind and message, so
// that two builds (Linux and Windows under wine, say) are compared byte for
// byte.
//
// Usage: corpus_values CORPUS TEXTS OUT
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "evaluator.h"

using namespace velmoratrix;

namespace {

std::string hex(const void* bytes, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t k = 0; k < size; ++k) {
        const auto b = static_cast<const unsigned char*>(bytes)[k];
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

template <typename Call> std::string outcome(Call call) {
    try {
        return call();
    } catch (const ExpressionError& e) {
        return std::string("ExpressionError: ") + e.what();
    } catch (const std::out_of_range& e) {
        return std::string("out_of_range: ") + e.what();
    } catch (const std::invalid_argument& e) {
        return std::string("invalid_argument: ") + e.what();
    } catch (const std::exception& e) {
        return std::string("exception: ") + e.what();
    }
}

// Each value twice: interpreted, then as generated code where it can be. A
// text marked "standard:" is read in the standard syntax alone.
std::string lineFor(std::string text) {
    const std::string marker = "standard:";
    const bool standardOnly = text.rfind(marker, 0) == 0;
    if (standardOnly) text.erase(0, marker.size());
    std::string line;
    for (bool flag : {false, true})
        for (Syntax syntax : {Syntax::Classic, Syntax::Standard}) {
            if (standardOnly && syntax == Syntax::Classic) continue;
            MathEvaluator m(flag);
            m.syntax = syntax;
            double x = 0.1;
            m.appendVariable("x", x);
            for (int run = 0; run < 2; ++run) {
                const std::string value = outcome([&] {
                    const long double v = m.eval(text);
                    return hex(&v, 10);
                });
                line += " | " + value;
            }
        }
    MathEvaluator rows(true);
    if (standardOnly) rows.syntax = Syntax::Standard;
    const double column[] = {0.5, -3.0, 1e300, std::numeric_limits<double>::quiet_NaN()};
    for (int run = 0; run < 2; ++run) { // the block runner, then rows code
        const std::string values = outcome([&] {
            double out[4];
            rows.evalMany(text, {{"x", column}}, 4, out);
            return hex(out, sizeof out);
        });
        line += " | rows " + values;
    }
    return line;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: corpus_values CORPUS TEXTS OUT\n");
        return 2;
    }
    // Names Windows keeps for devices are left out everywhere.
    auto device = [](std::string name) {
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (name == "con" || name == "prn" || name == "aux" || name == "nul") return true;
        return name.size() == 4 && (name.rfind("com", 0) == 0 || name.rfind("lpt", 0) == 0) &&
               name[3] >= '1' && name[3] <= '9';
    };
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(argv[1]))
        if (entry.is_regular_file() && entry.file_size() <= 4096 &&
            !device(entry.path().stem().string()))
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::ofstream out(argv[3], std::ios::binary);
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        out << file.filename().string() << lineFor(text.str()) << '\n';
    }
    std::ifstream texts(argv[2], std::ios::binary);
    std::size_t count = 0;
    for (std::string text; std::getline(texts, text); ++count)
        out << "text" << count << lineFor(text) << '\n';
    std::printf("%zu texts\n", files.size() + count);
    return out ? 0 : 1;
}
