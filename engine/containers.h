// The engine's own containers and the records that carry an expression
// through the pipeline: text -> seperate -> me_SepValues -> compile -> me_RPN.
//
// Lists and stacks are handles of raw pointers with member-wise copy and no
// destructor: whoever holds the last copy releases the nodes explicitly with
// freeAll (or remove/pop). Every node points to an element of its own, a
// separate heap object; a node whose element is null is released alone.
//
// Lists and CountedMaps count the operations that may change them (`edits`),
// so that whatever the engine derives from its public tables can tell, with
// one comparison, whether a caller has edited them since.
#pragma once

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

template <typename T> struct ListNode {
    T* value;
    ListNode* next;
};

namespace velmoratrix::node_storage {

// A node and a separate element built from args; nothing is left behind when
// either allocation or the element's constructor throws.
template <typename T, typename... Args> ListNode<T>* make(ListNode<T>* next, Args&&... args) {
    T* element;
    if constexpr (std::is_aggregate_v<T>)
        element = new T{std::forward<Args>(args)...};
    else
        element = new T(std::forward<Args>(args)...);
    try {
        return new ListNode<T>{element, next};
    } catch (...) {
        delete element;
        throw;
    }
}

template <typename T> void release(ListNode<T>* node) noexcept {
    delete node->value;
    delete node;
}

} // namespace velmoratrix::node_storage

template <typename T> class List {
public:
    ListNode<T>* head = nullptr;
    ListNode<T>* tail = nullptr;
    std::uint64_t edits = 0; // every change counts one, an assignment too

    List() = default;
    List(const List& other) : head(other.head), tail(other.tail) {}
    List& operator=(const List& other) {
        head = other.head;
        tail = other.tail;
        ++edits;
        return *this;
    }

    void append(const T& v) { emplace(v); }

    // Appends an element built in place from args.
    template <typename... Args> void emplace(Args&&... args) {
        ListNode<T>* node =
            velmoratrix::node_storage::make<T>(nullptr, std::forward<Args>(args)...);
        if (!head) head = node;
        if (tail) tail->next = node;
        tail = node;
        ++edits;
    }

    bool empty() const { return !head || !tail; }

    unsigned size() const {
        unsigned n = 0;
        for (const ListNode<T>* node = head; node; node = node->next) ++n;
        return n;
    }

    // Requires i < size().
    T get(unsigned i) const {
        const ListNode<T>* node = head;
        if (tail && i + 1 == size()) return *tail->value;
        while (i-- > 0) node = node->next;
        return *node->value;
    }

    bool inList(std::string_view s) const { return find(s) != nullptr; }

    // Position of the first element equal to s, or -1.
    long indexOf(std::string_view s) const {
        long i = 0;
        if (empty()) return -1;
        for (const ListNode<T>* node = head; node; node = node->next, ++i)
            if (node->value && *node->value == s) return i;
        return -1;
    }

    const ListNode<T>* find(std::string_view s) const {
        if (empty()) return nullptr;
        for (const ListNode<T>* node = head; node; node = node->next)
            if (node->value && *node->value == s) return node;
        return nullptr;
    }

    // Unlinks and releases the element at index; past the end does nothing.
    void remove(unsigned index) {
        if (empty()) return;
        ListNode<T>* before = nullptr;
        if (index > 0) {
            before = head;
            for (unsigned i = 1; i < index && before; ++i) before = before->next;
            if (!before || !before->next) return;
        }
        removeAfter(before);
    }

    // Unlinks and releases the node after `before` (the head when null).
    void removeAfter(ListNode<T>* before) {
        ListNode<T>* victim = before ? before->next : head;
        if (!victim) return;
        (before ? before->next : head) = victim->next;
        if (victim == tail) tail = before;
        if (!head) tail = nullptr;
        velmoratrix::node_storage::release(victim);
        ++edits;
    }

    void freeAll() noexcept {
        ListNode<T>* node = tail ? head : nullptr;
        while (node) {
            ListNode<T>* next = node->next;
            velmoratrix::node_storage::release(node);
            node = next;
        }
        head = tail = nullptr;
        ++edits;
    }
};

template <typename T> class me_List : public List<T> {
public:
    // Position of the first element equal to s; 0 also when there is none,
    // so callers that must tell the two apart ask inList first.
    unsigned getIndex(std::string_view s) const {
        long i = this->indexOf(s);
        return i < 0 ? 0u : static_cast<unsigned>(i);
    }
};

template <typename T> class Stack {
public:
    ListNode<T>* top = nullptr;
    ListNode<T>* bottom = nullptr;

    void push(const T& v) {
        ListNode<T>* node = velmoratrix::node_storage::make<T>(top, v);
        if (!bottom) bottom = node;
        top = node;
    }

    // Requires a non-empty stack whose top has an element.
    T pop() {
        ListNode<T>* old = top;
        T v = std::move(*old->value);
        if (top == bottom) {
            top = bottom = nullptr;
        } else {
            top = old->next;
        }
        velmoratrix::node_storage::release(old);
        return v;
    }

    bool empty() const { return !top; }

    unsigned size() const {
        unsigned n = 0;
        for (const ListNode<T>* node = top; node; node = node->next) ++n;
        return n;
    }

    void freeAll() noexcept {
        while (top) {
            ListNode<T>* next = top == bottom ? nullptr : top->next;
            velmoratrix::node_storage::release(top);
            top = next;
        }
        bottom = nullptr;
    }
};

namespace velmoratrix {

// A std::map whose every call that may change it (a non-const access, an
// insertion, an erasure, an assignment) adds one to `edits`; const access
// counts nothing. The map is held, not inherited, so that no caller can
// reach it as a mutable std::map& and edit it uncounted; it converts to a
// const std::map& (and so copies into a std::map).
template <typename Key, typename Value> class CountedMap {
    using Base = std::map<Key, Value>;
    Base map_;

public:
    using key_type = Key;
    using mapped_type = Value;
    using value_type = typename Base::value_type;
    using size_type = typename Base::size_type;
    using iterator = typename Base::iterator;
    using const_iterator = typename Base::const_iterator;
    using reverse_iterator = typename Base::reverse_iterator;
    using const_reverse_iterator = typename Base::const_reverse_iterator;
    using node_type = typename Base::node_type;

    std::uint64_t edits = 0;

    CountedMap() = default;
    CountedMap(std::initializer_list<value_type> list) : map_(list) {}
    CountedMap(const Base& other) : map_(other) {}
    CountedMap(const CountedMap& other) : map_(other.map_) {}
    CountedMap& operator=(const CountedMap& other) { return assign(other.map_); }
    CountedMap& operator=(const Base& other) { return assign(other); }
    CountedMap& operator=(Base&& other) {
        ++edits;
        map_ = std::move(other);
        return *this;
    }
    CountedMap& operator=(std::initializer_list<value_type> list) {
        ++edits;
        map_ = list;
        return *this;
    }

    operator const Base&() const noexcept { return map_; }
    const Base& base() const noexcept { return map_; }

    // Reading counts nothing.
    bool empty() const noexcept { return map_.empty(); }
    size_type size() const noexcept { return map_.size(); }
    size_type max_size() const noexcept { return map_.max_size(); }
    size_type count(const Key& key) const { return map_.count(key); }
    const Value& at(const Key& key) const { return map_.at(key); }
    const_iterator begin() const noexcept { return map_.begin(); }
    const_iterator end() const noexcept { return map_.end(); }
    const_iterator cbegin() const noexcept { return map_.cbegin(); }
    const_iterator cend() const noexcept { return map_.cend(); }
    const_reverse_iterator rbegin() const noexcept { return map_.rbegin(); }
    const_reverse_iterator rend() const noexcept { return map_.rend(); }
    const_iterator find(const Key& key) const { return map_.find(key); }
    const_iterator lower_bound(const Key& key) const { return map_.lower_bound(key); }
    const_iterator upper_bound(const Key& key) const { return map_.upper_bound(key); }
    auto equal_range(const Key& key) const { return map_.equal_range(key); }
    auto key_comp() const { return map_.key_comp(); }
    auto value_comp() const { return map_.value_comp(); }

    // Anything that hands out write access counts, as the write may follow.
    Value& operator[](const Key& key) { return (++edits, map_[key]); }
    Value& operator[](Key&& key) { return (++edits, map_[std::move(key)]); }
    Value& at(const Key& key) { return (++edits, map_.at(key)); }
    iterator begin() noexcept { return (++edits, map_.begin()); }
    iterator end() noexcept { return (++edits, map_.end()); }
    reverse_iterator rbegin() noexcept { return (++edits, map_.rbegin()); }
    reverse_iterator rend() noexcept { return (++edits, map_.rend()); }
    iterator find(const Key& key) { return (++edits, map_.find(key)); }
    iterator lower_bound(const Key& key) { return (++edits, map_.lower_bound(key)); }
    iterator upper_bound(const Key& key) { return (++edits, map_.upper_bound(key)); }
    auto equal_range(const Key& key) { return (++edits, map_.equal_range(key)); }

    template <typename... Args> auto insert(Args&&... args) {
        return (++edits, map_.insert(std::forward<Args>(args)...));
    }
    auto insert(value_type&& v) { return (++edits, map_.insert(std::move(v))); }
    auto insert(const value_type& v) { return (++edits, map_.insert(v)); }
    auto insert(const_iterator hint, value_type&& v) {
        return (++edits, map_.insert(hint, std::move(v)));
    }
    void insert(std::initializer_list<value_type> list) { (++edits, map_.insert(list)); }
    template <typename... Args> auto insert_or_assign(Args&&... args) {
        return (++edits, map_.insert_or_assign(std::forward<Args>(args)...));
    }
    template <typename... Args> auto emplace(Args&&... args) {
        return (++edits, map_.emplace(std::forward<Args>(args)...));
    }
    template <typename... Args> auto emplace_hint(Args&&... args) {
        return (++edits, map_.emplace_hint(std::forward<Args>(args)...));
    }
    template <typename... Args> auto try_emplace(Args&&... args) {
        return (++edits, map_.try_emplace(std::forward<Args>(args)...));
    }
    template <typename... Args> auto erase(Args&&... args) {
        return (++edits, map_.erase(std::forward<Args>(args)...));
    }
    template <typename... Args> auto extract(Args&&... args) {
        return (++edits, map_.extract(std::forward<Args>(args)...));
    }
    template <typename Other> void merge(Other&& other) { (++edits, map_.merge(other)); }
    void swap(Base& other) { (++edits, map_.swap(other)); }
    void swap(CountedMap& other) {
        ++edits;
        ++other.edits;
        map_.swap(other.map_);
    }
    void clear() noexcept { (++edits, map_.clear()); }

    friend bool operator==(const CountedMap& a, const Base& b) { return a.map_ == b; }
    friend bool operator==(const Base& a, const CountedMap& b) { return a == b.map_; }
    friend bool operator==(const CountedMap& a, const CountedMap& b) { return a.map_ == b.map_; }
    friend bool operator!=(const CountedMap& a, const Base& b) { return a.map_ != b; }
    friend bool operator!=(const Base& a, const CountedMap& b) { return a != b.map_; }

private:
    CountedMap& assign(const Base& other) {
        ++edits;
        map_ = other;
        return *this;
    }
};

} // namespace velmoratrix

enum TokenKind : std::int32_t { Operator = 0, Operand = 1, Separator = 2, Function = 3 };

struct Token {
    std::string text;
    std::int32_t kind;
};

// What seperate returns: the infix tokens and a copy of the text.
struct me_SepValues {
    List<Token> tokens;
    std::string expression;

    // Releases the token list; the record itself never does.
    void freeLists() noexcept { tokens.freeAll(); }
};

// What compile returns. `tokens` are the very nodes seperate made; the
// RPN_values are copies, so freeLists releases everything exactly once.
struct me_RPN : me_SepValues {
    std::string RPN;
    List<Token> RPN_values;

    void freeLists() noexcept {
        RPN_values.freeAll();
        tokens.freeAll();
    }
};

namespace velmoratrix {

// Releases a record's lists when an exception abandons it half built.
template <typename Record> class ReleaseOnThrow {
public:
    explicit ReleaseOnThrow(Record& record) : record_(record) {}
    ~ReleaseOnThrow() {
        if (std::uncaught_exceptions() > pending_) record_.freeLists();
    }
    ReleaseOnThrow(const ReleaseOnThrow&) = delete;
    ReleaseOnThrow& operator=(const ReleaseOnThrow&) = delete;

private:
    Record& record_;
    int pending_ = std::uncaught_exceptions();
};

} // namespace velmoratrix
