// Small helpers shared by the engine tests.
#pragma once

#include <string>
#include <vector>

#include "containers.h"

template <typename T> std::vector<T> elements(const List<T>& list) {
    std::vector<T> out;
    for (const ListNode<T>* n = list.head; n; n = n->next) out.push_back(*n->value);
    return out;
}

inline std::vector<std::string> texts(const List<Token>& list) {
    std::vector<std::string> out;
    for (const ListNode<Token>* n = list.head; n; n = n->next) out.push_back(n->value->text);
    return out;
}

inline std::vector<int> kinds(const List<Token>& list) {
    std::vector<int> out;
    for (const ListNode<Token>* n = list.head; n; n = n->next) out.push_back(n->value->kind);
    return out;
}

inline List<std::string> listOf(const std::vector<std::string>& items) {
    List<std::string> list;
    for (const auto& item : items) list.append(item);
    return list;
}

// A double's bits: NaNs compared by payload, zeros by sign.
inline unsigned long long bitsOf(double value) {
    unsigned long long bits;
    static_assert(sizeof bits == sizeof value, "64-bit double");
    __builtin_memcpy(&bits, &value, sizeof bits);
    return bits;
}
