// Reading a column's element of any type as the double a float64 copy of it
// holds, and writing a result in the output's type: the same conversions on
// every path, so that a row has one value whatever runs it.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "evaluator.h"
#include "real.h"

namespace velmoratrix {

inline std::size_t sizeOf(ValueType type) {
    switch (type) {
    case ValueType::Float64:
    case ValueType::Int64:
        return 8;
    case ValueType::Float32:
    case ValueType::Int32:
    case ValueType::UInt32:
        return 4;
    case ValueType::Int16:
    case ValueType::UInt16:
        return 2;
    default:
        return 1;
    }
}

// The nearest double, ties to even, whatever rounding the caller has set:
// what numpy's astype(float64) gives under the default mode.
inline double nearestDouble(std::int64_t v) {
    const std::uint64_t magnitude =
        v < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    double d;
    if (magnitude <= (std::uint64_t{1} << 53)) {
        d = static_cast<double>(magnitude); // exact
    } else {
        const int drop = 11 - __builtin_clzll(magnitude); // bits below the 53 kept
        std::uint64_t kept = magnitude >> drop;
        const std::uint64_t rest = magnitude & ((std::uint64_t{1} << drop) - 1);
        const std::uint64_t half = std::uint64_t{1} << (drop - 1);
        if (rest > half || (rest == half && (kept & 1))) ++kept;
        d = std::ldexp(static_cast<double>(kept), drop); // kept <= 2^53: exact
    }
    return v < 0 ? -d : d;
}

template <typename T> inline T loaded(const char* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

template <ValueType type> inline double readAs(const char* at) {
    if constexpr (type == ValueType::Float64) return loaded<double>(at);
    if constexpr (type == ValueType::Float32) return loaded<float>(at);
    if constexpr (type == ValueType::Int8) return loaded<std::int8_t>(at);
    if constexpr (type == ValueType::Int16) return loaded<std::int16_t>(at);
    if constexpr (type == ValueType::Int32) return loaded<std::int32_t>(at);
    if constexpr (type == ValueType::Int64) return nearestDouble(loaded<std::int64_t>(at));
    if constexpr (type == ValueType::UInt8) return loaded<std::uint8_t>(at);
    if constexpr (type == ValueType::UInt16) return loaded<std::uint16_t>(at);
    if constexpr (type == ValueType::UInt32) return loaded<std::uint32_t>(at);
    if constexpr (type == ValueType::Bool) return *at != 0 ? 1.0 : 0.0;
}

// readAs<type> as a type of its own, so that each type's loop is its own
// instance with the conversion inlined, not a call through a pointer.
template <ValueType type> struct Reader {
    double operator()(const char* at) const { return readAs<type>(at); }
};

// Calls f with the reader of the column's type, so that a loop over rows is
// made once per type with the conversion inside it.
template <typename F> inline decltype(auto) withReader(ValueType type, F f) {
    switch (type) {
    case ValueType::Float32:
        return f(Reader<ValueType::Float32>{});
    case ValueType::Int8:
        return f(Reader<ValueType::Int8>{});
    case ValueType::Int16:
        return f(Reader<ValueType::Int16>{});
    case ValueType::Int32:
        return f(Reader<ValueType::Int32>{});
    case ValueType::Int64:
        return f(Reader<ValueType::Int64>{});
    case ValueType::UInt8:
        return f(Reader<ValueType::UInt8>{});
    case ValueType::UInt16:
        return f(Reader<ValueType::UInt16>{});
    case ValueType::UInt32:
        return f(Reader<ValueType::UInt32>{});
    case ValueType::Bool:
        return f(Reader<ValueType::Bool>{});
    default:
        return f(Reader<ValueType::Float64>{});
    }
}

inline const char* elementAt(const Column& c, std::size_t i) {
    return static_cast<const char*>(c.values) + static_cast<std::ptrdiff_t>(i) * c.stride;
}

inline double valueAt(const Column& c, std::size_t i) {
    return withReader(c.type, [&](auto read) { return read(elementAt(c, i)); });
}

// Whether a column's i-th value is one (not a null).
inline bool validAt(const Column& c, std::size_t i) {
    if (!c.valid) return true;
    const std::size_t bit = c.validFirst + (c.stride == 0 ? 0 : i); // a broadcast value: one bit
    return (c.valid[bit / 8] >> (bit % 8)) & 1;
}

// The column from its i-th value on.
inline Column columnFrom(const Column& c, std::size_t i) {
    Column rest = c;
    rest.values = elementAt(c, i);
    rest.validFirst += c.stride == 0 ? 0 : i;
    return rest;
}

inline bool hasNulls(const std::vector<Column>& columns) {
    for (const Column& c : columns)
        if (c.valid) return true;
    return false;
}

// Writes a row's value as the output's type holds it.
inline void store(char* at, ValueType type, Real value) {
    if (type == ValueType::Float32) {
        const float f = static_cast<float>(value); // one rounding, from 80 bits
        std::memcpy(at, &f, sizeof f);
    } else if (type == ValueType::Bool) {
        *at = static_cast<double>(value) != 0.0;
    } else {
        const double d = static_cast<double>(value);
        std::memcpy(at, &d, sizeof d);
    }
}

} // namespace velmoratrix
