// Number texts: what a token reads as, with std::stod's contract, and quickly
// for the common ones.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <locale.h>
#include <string>

#include "program.h"

using namespace velmoratrix;

namespace {

// Number texts are read as in the "C" locale, whatever locale the host has
// set: under a decimal-comma locale "1.5" would otherwise read as 1.
#if defined(__MINGW32__)
// The C runtime's strtod reads no hexadecimal, inf or nan; mingw-w64's own
// reads what glibc's does and rounds as it does, but takes its decimal
// point from the locale. So the text gets the locale's point in place of
// its '.', and a byte that could be read as one is put out of the way; a
// NaN's payload and an underflow to the smallest normal are then read as
// glibc reads them.
extern "C" double __mingw_strtod(const char*, char**);
extern "C" long double __mingw_strtold(const char*, char**);
double strtodC(const char* text, char** end) {
    std::string copy(text);
    const char point = *localeconv()->decimal_point;
    if (point != '.')
        for (char& c : copy) c = c == point ? '\x01' : c == '.' ? point : c;
    char* stop = nullptr;
    double value = __mingw_strtod(copy.c_str(), &stop);
    *end = const_cast<char*>(text) + (stop - copy.c_str());
    const std::size_t read = static_cast<std::size_t>(*end - text);
    if (std::isnan(value)) {
        // glibc: nan(n-chars) takes strtoull's value of the chars as its
        // payload, its low 51 bits.
        const char* open = static_cast<const char*>(std::memchr(text, '(', read));
        std::uint64_t payload = 0;
        if (open && read > 0 && text[read - 1] == ')') {
            char* after = nullptr;
            const unsigned long long n = std::strtoull(open + 1, &after, 0);
            if (after == text + read - 1 && after != open + 1) payload = n & ((1ull << 51) - 1);
        }
        std::uint64_t bits = 0x7FF8000000000000u | payload;
        if (std::signbit(value)) bits |= 1ull << 63;
        std::memcpy(&value, &bits, sizeof value);
    } else if (std::fabs(value) == std::numeric_limits<double>::min() && errno == 0 &&
               std::fabs(__mingw_strtold(copy.c_str(), nullptr)) <
                   std::numeric_limits<double>::min()) {
        errno = ERANGE; // tiny before rounding, as glibc judges underflow
    }
    return value;
}
#elif defined(_WIN32)
double strtodC(const char* text, char** end) {
    static const _locale_t locale = _create_locale(LC_ALL, "C");
    return locale ? _strtod_l(text, end, locale) : std::strtod(text, end);
}
#else
double strtodC(const char* text, char** end) {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return locale ? strtod_l(text, end, locale) : std::strtod(text, end);
}
#endif

// Exact powers of ten in double: up to 10^22.
constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The common token [-]digits[.digits][e digits] whose digits fit in 2^53
// and whose scale is at most 10^22: both factors are exact doubles, so one
// multiplication or division rounds exactly as strtod does (Clinger's fast
// path). Anything else is left to strtod.
bool readSimpleNumber(std::string_view text, double& value) {
    const char* p = text.data();
    const char* const end = p + text.size();
    const bool negative = p != end && *p == '-';
    p += negative;
    std::uint64_t digits = 0;
    int significant = 0, scale = 0;
    bool any = false;
    auto digit = [&](bool fraction) {
        any = true;
        if (digits == 0 && *p == '0') {
            scale -= fraction;
            return;
        }
        if (++significant > 19) return;
        digits = digits * 10 + static_cast<unsigned>(*p - '0');
        scale -= fraction;
    };
    for (; p != end && *p >= '0' && *p <= '9'; ++p) digit(false);
    if (p != end && *p == '.')
        for (++p; p != end && *p >= '0' && *p <= '9'; ++p) digit(true);
    if (!any || significant > 19 || digits > (std::uint64_t{1} << 53)) return false;
    if (p != end && (*p == 'e' || *p == 'E')) {
        int exponent = 0;
        const char* start = ++p;
        for (; p != end && *p >= '0' && *p <= '9' && exponent < 1000; ++p)
            exponent = exponent * 10 + (*p - '0');
        if (p == start) return false;
        scale += exponent;
    }
    if (p != end || scale > 22 || scale < -22) return false;
    const double d = static_cast<double>(digits);
    value = scale >= 0 ? d * kPowersOfTen[scale] : d / kPowersOfTen[-scale];
    if (negative) value = -value;
    return true;
}

} // namespace

bool velmoratrix::readWholeNumber(std::string_view token, double& value) {
    const bool negative = !token.empty() && token[0] == '-';
    token.remove_prefix(negative);
    if (token.empty() || token.size() > 15) return false;
    std::int64_t digits = 0;
    for (const char c : token) {
        if (c < '0' || c > '9') return false;
        digits = digits * 10 + (c - '0');
    }
    value = static_cast<double>(digits); // below 10^15: exact
    if (negative) value = -value;
    return true;
}

// std::stod's contract: leading blanks skipped, longest prefix taken, errno
// left as found unless the conversion set it. Says how a failed read ends.
Ending velmoratrix::readNumber(std::string_view token, double& value, std::size_t* consumed) {
    if (readSimpleNumber(token, value)) {
        if (consumed) *consumed = token.size();
        return Ending::Value;
    }
    const std::string text(token); // strtod wants the terminating NUL
    const char* begin = text.c_str();
    char* end = nullptr;
    const int savedErrno = errno;
    errno = 0;
    value = strtodC(begin, &end);
    const int conversionErrno = errno;
    if (conversionErrno == 0) errno = savedErrno;
    if (consumed) *consumed = static_cast<std::size_t>(end - begin);
    if (end == begin) return Ending::NotANumber;
    if (conversionErrno == ERANGE) return Ending::OutOfRange;
    return Ending::Value;
}
