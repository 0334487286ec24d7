// The engine's own containers and the records that carry an expression
// through the pipeline: text -> seperate -> me_SepValues -> compile -> me_RPN.
//
// Lists and stacks are handles of two raw pointers with member-wise copy and
// no destructor: whoever holds the last copy releases the nodes explicitly
// with freeAll (or remove/pop). Nodes are created only by append (emplace)
// and push, and each carries its element in the same allocation.
#pragma once

#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

template <typename T> struct ListNode {
    T* value;
    ListNode* next;
};

namespace node_storage {

// One allocation holds the node and its element; blocks of a released node go
// to a per-thread free list, so building a token list rarely reaches malloc.
template <typename T> struct Block {
    ListNode<T> node;
    alignas(T) unsigned char element[sizeof(T)];
};

// Trivially destructible, so it stays usable while other thread-local
// objects (a cached engine) are destroyed after the drain below has run.
template <typename T> struct FreeList {
    struct Link {
        Link* next;
    };
    Link* first;
    bool closed;
};

template <typename T> FreeList<T>& freeList() {
    static thread_local FreeList<T> list;
    return list;
}

// Returns the thread's spare blocks at thread exit; blocks released after
// that go straight back to the allocator.
template <typename T> struct Drain {
    ~Drain() {
        FreeList<T>& list = freeList<T>();
        while (list.first) {
            auto* next = list.first->next;
            ::operator delete(list.first);
            list.first = next;
        }
        list.closed = true;
    }
};

// Sanitizer builds allocate every block afresh, so that a use after release
// is caught instead of landing in a recycled block.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELMO_NO_NODE_POOL 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(VELMO_NO_NODE_POOL)
template <typename T> void* take() {
    return ::operator new(sizeof(Block<T>));
}
template <typename T> void give(void* raw) noexcept {
    ::operator delete(raw);
}
#else
template <typename T> void* take() {
    FreeList<T>& list = freeList<T>();
    if (auto* link = list.first) {
        list.first = link->next;
        return link;
    }
    static thread_local Drain<T> drain;
    (void)drain;
    return ::operator new(sizeof(Block<T>));
}

template <typename T> void give(void* raw) noexcept {
    FreeList<T>& list = freeList<T>();
    if (list.closed) {
        ::operator delete(raw);
        return;
    }
    list.first = new (raw) typename FreeList<T>::Link{list.first};
}
#endif

template <typename T, typename... Args> ListNode<T>* make(ListNode<T>* next, Args&&... args) {
    void* raw = take<T>();
    auto* block = static_cast<Block<T>*>(raw);
    T* element;
    try {
        if constexpr (std::is_aggregate_v<T>)
            element = new (block->element) T{std::forward<Args>(args)...};
        else
            element = new (block->element) T(std::forward<Args>(args)...);
    } catch (...) {
        give<T>(raw);
        throw;
    }
    return new (&block->node) ListNode<T>{element, next};
}

template <typename T> void release(ListNode<T>* node) noexcept {
    node->value->~T();
    give<T>(node); // the node is the block's first member
}

} // namespace node_storage

template <typename T> class List {
public:
    ListNode<T>* head = nullptr;
    ListNode<T>* tail = nullptr;

    void append(const T& v) { emplace(v); }

    // Appends an element built in place from args.
    template <typename... Args> void emplace(Args&&... args) {
        ListNode<T>* node = node_storage::make<T>(nullptr, std::forward<Args>(args)...);
        if (!head) head = node;
        if (tail) tail->next = node;
        tail = node;
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
            if (*node->value == s) return i;
        return -1;
    }

    const ListNode<T>* find(std::string_view s) const {
        if (empty()) return nullptr;
        for (const ListNode<T>* node = head; node; node = node->next) {
            const T& v = *node->value;
            // Length and first byte settle most comparisons without a call.
            if (v.size() == s.size() && (s.empty() || (v[0] == s[0] && v == s))) return node;
        }
        return nullptr;
    }

    // Unlinks and releases the element at index; past the end does nothing.
    void remove(unsigned index) {
        if (empty()) return;
        if (index == 0) {
            ListNode<T>* victim = head;
            head = victim->next;
            if (!head) tail = nullptr;
            node_storage::release(victim);
            return;
        }
        ListNode<T>* before = head;
        for (unsigned i = 1; i < index && before; ++i) before = before->next;
        if (!before || !before->next) return;
        ListNode<T>* victim = before->next;
        before->next = victim->next;
        if (victim == tail) tail = before;
        node_storage::release(victim);
    }

    void freeAll() noexcept {
        ListNode<T>* node = tail ? head : nullptr;
        while (node) {
            ListNode<T>* next = node->next;
            node_storage::release(node);
            node = next;
        }
        head = tail = nullptr;
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
        ListNode<T>* node = node_storage::make<T>(top, v);
        if (!bottom) bottom = node;
        top = node;
    }

    // Requires a non-empty stack.
    T pop() {
        ListNode<T>* old = top;
        T v = std::move(*old->value);
        if (top == bottom) {
            top = bottom = nullptr;
        } else {
            top = old->next;
        }
        node_storage::release(old);
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
            node_storage::release(top);
            top = next;
        }
        bottom = nullptr;
    }
};

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
