// The generator: one pass over resolved code, tracking at generation time
// how many values the run holds and how many of the topmost sit on the x87
// register stack (the rest are spilled to the frame, as 80-bit values unless
// they are exactly doubles, so nothing is rounded that the interpreter
// keeps). Conversions to double happen exactly where the interpreter
// converts. The code is generated into
// a scratch buffer, position independent (its constants are read relative to
// the instruction pointer), then copied into the evaluator's code arena,
// whose pages are never writable and executable at once.
#include "native.h"
#include "powers.h"
#include "values.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <vector>

#if defined(VELMO_HAVE_XBYAK) && defined(__x86_64__)
#define VELMO_NATIVE 1
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#endif
#include <xbyak/xbyak.h>
#endif

namespace velmoratrix {

namespace {

std::atomic<std::size_t> generatedPieces{0}, generatedBytes{0}, mappedBytes{0};

std::atomic<bool>& enabledFlag() {
    static std::atomic<bool> flag{[] {
        const char* setting = std::getenv("VELMO_JIT");
        return !(setting && std::strcmp(setting, "0") == 0);
    }()};
    return flag;
}

} // namespace

bool nativeEnabled() {
#ifdef VELMO_NATIVE
    return enabledFlag().load(std::memory_order_relaxed);
#else
    return false;
#endif
}

BuildInfo buildInfo() {
#if defined(__clang__)
    const char* compiler = "clang " __clang_version__;
#elif defined(__GNUC__)
    const char* compiler = "GCC " __VERSION__;
#else
    const char* compiler = "unknown";
#endif
#ifdef VELMO_X87
    const char* arithmetic = "x87";
#else
    const char* arithmetic = "software";
#endif
    return {arithmetic, nativeEnabled(), compiler, VELMO_VERSION_TEXT};
}

void setNativeEnabled(bool enabled) {
    enabledFlag().store(enabled);
}

NativeCounts nativeCounts() {
    return {generatedPieces.load(), generatedBytes.load(), mappedBytes.load()};
}

void NativeRelease::operator()(Native* native) const {
    delete native;
}

std::size_t nativeBytes(const Native* native) {
    return native ? native->bytes() : 0;
}

#ifndef VELMO_NATIVE

class CodeArena {};
std::shared_ptr<CodeArena> newCodeArena() {
    return nullptr;
}
Native::~Native() = default;
NativeCode Native::scalar(const Code&, const std::shared_ptr<CodeArena>&) {
    return nullptr;
}
NativeCode Native::scalar(const Code&, double* const*, std::size_t) {
    return nullptr;
}
NativeCode Native::rows(const Code&, double* const*, const std::vector<Column>&,
                        const std::shared_ptr<CodeArena>&, ValueType) {
    return nullptr;
}
NativeCode Native::stretch(const Code&, const Stretch&, std::size_t, double* const*,
                           const std::vector<Column>&, const std::shared_ptr<CodeArena>&,
                           ValueType) {
    return nullptr;
}

#else

// Chunks of pages, each with its free blocks in address order; a piece takes
// the first block it fits (first fit keeps the chunks compact), and a freed
// piece joins its free neighbours. An empty chunk is given back to the
// system. The lock guards the lists: a formula's code may be freed on any
// thread.
class CodeArena {
public:
    ~CodeArena() {
        for (Chunk& c : chunks_) unmap(c);
    }
    // Where the bytes now stand, executable; null where no pages could be had.
    void* place(const std::uint8_t* bytes, std::size_t size) {
        const std::size_t need = aligned(size);
        std::lock_guard<std::mutex> lock(m_);
        for (Chunk& c : chunks_)
            if (void* at = take(c, need)) return written(c, at, bytes, size);
        // Chunks grow from a page: an evaluator with one formula keeps one.
        const std::size_t span = std::max(next_, (need + kPage - 1) / kPage * kPage);
        next_ = std::min(2 * next_, kChunk);
        void* pages = mapPages(span);
        if (!pages) return nullptr;
        mappedBytes.fetch_add(span, std::memory_order_relaxed);
        Chunk& c = chunks_.emplace_back();
        c.base = static_cast<char*>(pages);
        c.size = span;
        c.free.push_back({0, span});
        return written(c, take(c, need), bytes, size);
    }
    void release(void* at, std::size_t size) {
        const std::size_t need = aligned(size);
        std::lock_guard<std::mutex> lock(m_);
        for (auto c = chunks_.begin(); c != chunks_.end(); ++c) {
            const auto offset = static_cast<std::size_t>(static_cast<char*>(at) - c->base);
            if (static_cast<char*>(at) < c->base || offset >= c->size) continue;
            give(*c, offset, need);
            if (c->free.size() == 1 && c->free.front().size == c->size) {
                unmap(*c);
                chunks_.erase(c);
            }
            return;
        }
    }

private:
    static constexpr std::size_t kPage = 4096, kChunk = 16 * kPage, kAlign = 16;
    struct Block {
        std::size_t offset, size;
    };
    struct Chunk {
        char* base = nullptr;
        std::size_t size = 0;
        std::vector<Block> free; // in address order, never adjacent
    };
    std::mutex m_;
    std::deque<Chunk> chunks_;
    std::size_t next_ = kPage;

    static std::size_t aligned(std::size_t size) { return (size + kAlign - 1) / kAlign * kAlign; }
    // The piece copied to `at`, or its block given back where the pages
    // could not be made writable.
    static void* written(Chunk& c, void* at, const std::uint8_t* bytes, std::size_t size) {
        if (write(c, at, bytes, size)) return at;
        give(c, static_cast<std::size_t>(static_cast<char*>(at) - c.base), aligned(size));
        return nullptr;
    }
#ifdef _WIN32
    static void* mapPages(std::size_t span) {
        return VirtualAlloc(nullptr, span, MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READ);
    }
    static void unmap(Chunk& c) {
        VirtualFree(c.base, 0, MEM_RELEASE);
        mappedBytes.fetch_sub(c.size, std::memory_order_relaxed);
    }
    static bool protect(char* first, std::size_t span, bool writable) {
        DWORD before;
        return VirtualProtect(first, span, writable ? PAGE_READWRITE : PAGE_EXECUTE_READ,
                              &before) != 0 &&
               (writable || FlushInstructionCache(GetCurrentProcess(), first, span) != 0);
    }
#else
    static void* mapPages(std::size_t span) {
        void* pages =
            mmap(nullptr, span, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        return pages == MAP_FAILED ? nullptr : pages;
    }
    static void unmap(Chunk& c) {
        munmap(c.base, c.size);
        mappedBytes.fetch_sub(c.size, std::memory_order_relaxed);
    }
    static bool protect(char* first, std::size_t span, bool writable) {
        return mprotect(first, span, writable ? PROT_READ | PROT_WRITE : PROT_READ | PROT_EXEC) ==
               0;
    }
#endif
    static void* take(Chunk& c, std::size_t need) {
        for (auto b = c.free.begin(); b != c.free.end(); ++b) {
            if (b->size < need) continue;
            void* at = c.base + b->offset;
            b->offset += need;
            b->size -= need;
            if (b->size == 0) c.free.erase(b);
            return at;
        }
        return nullptr;
    }
    static void give(Chunk& c, std::size_t offset, std::size_t size) {
        auto after = std::lower_bound(c.free.begin(), c.free.end(), offset,
                                      [](const Block& b, std::size_t o) { return b.offset < o; });
        if (after != c.free.begin()) {
            auto before = std::prev(after);
            if (before->offset + before->size == offset) {
                before->size += size;
                if (after != c.free.end() && before->offset + before->size == after->offset) {
                    before->size += after->size;
                    c.free.erase(after);
                }
                return;
            }
        }
        if (after != c.free.end() && offset + size == after->offset) {
            after->offset = offset;
            after->size += size;
            return;
        }
        c.free.insert(after, {offset, size});
    }
    // The pages the piece falls on are writable while it is copied in (and
    // executable again after): none of this arena's code runs meanwhile.
    static bool write(Chunk& c, void* at, const std::uint8_t* bytes, std::size_t size) {
        char* first = c.base + (static_cast<char*>(at) - c.base) / kPage * kPage;
        char* last = static_cast<char*>(at) + size;
        const auto span = static_cast<std::size_t>((last - first + kPage - 1) / kPage * kPage);
        if (!protect(first, span, true)) return false;
        std::memcpy(at, bytes, size);
        return protect(first, span, false);
    }
};

std::shared_ptr<CodeArena> newCodeArena() {
    return std::make_shared<CodeArena>();
}

Native::~Native() {
    if (arena_) arena_->release(entry_, bytes_);
}

namespace {

using namespace Xbyak::util;

// Beyond these the interpreter runs: code this long or this deep is rare, and
// the frame of generated code stays small.
constexpr std::size_t kMaxSteps = 4096;
constexpr std::size_t kMaxDepth = 256;
constexpr std::size_t kRegisters = 8; // the x87 register stack

// Calls out of the engine, each noexcept: what a function from outside
// throws is kept for the caller to throw, never unwound through generated
// frames (which have no unwind information).
template <typename Result, typename Call> Result caught(NativeOutcome* outcome, Call call) {
    try {
        return call();
    } catch (...) {
        *outcome->error = std::current_exception();
        outcome->threw = 1;
        return 0;
    }
}
double callUnary(NativeOutcome* outcome, const UnaryCallable* f, double x) noexcept {
    return caught<double>(outcome, [&] { return (*f)(x); });
}
long double callBinary(NativeOutcome* outcome, const BinaryCallable* f, long double left,
                       long double right) noexcept {
    return caught<long double>(outcome, [&] { return (*f)(left, right); });
}
double callNaryOfOne(NativeOutcome* outcome, const NaryCallable* f, double x) noexcept {
    return caught<double>(outcome, [&] { return (*f)(&x, 1); });
}
double callUnaryPointer(NativeOutcome* outcome, UnaryFunction f, double x) noexcept {
    return caught<double>(outcome, [&] { return f(x); });
}
long double callBinaryPointer(NativeOutcome* outcome, BinaryFunction f, long double left,
                              long double right) noexcept {
    return caught<long double>(outcome, [&] { return f(left, right); });
}
long double callPrimitive(NativeOutcome* outcome, OperatorFunction f, bool accurate,
                          long double left, long double right) noexcept {
    return caught<long double>(outcome, [&] { return f(left, right, accurate); });
}

double (*const libmPow)(double, double) = libraryPow;

enum class Mode { Scalar, Rows };

class Generator : public Xbyak::CodeGenerator {
public:
    Generator(std::size_t size, void* scratch, Mode mode, double* const* slots,
              const std::vector<Column>* columns, const Stretch* stretch = nullptr,
              std::size_t capacity = 0, ValueType output = ValueType::Float64)
        : CodeGenerator(size, scratch), mode_(mode), slots_(slots), columns_(columns),
          stretch_(stretch), capacity_(capacity), output_(output) {}

    // False for a step the generator does not take.
    bool generate(const Code& code) {
        const std::vector<StretchAction> whole{{StretchAction::Steps, 0, code.steps.size()}};
        const std::vector<StretchAction>& actions = stretch_ ? stretch_->actions : whole;
        frame_ = (kSlots + 16 * (code.maxDepth + 1) + 15) & ~std::size_t{15};
        exact_.assign(code.maxDepth + 2, false);
        spilledAsDouble_.assign(code.maxDepth + 2, false);
        // A scalar run keeps only the outcome's address; rows keep their state.
        saved_ = mode_ == Mode::Rows ? 6 : 1;
        for (std::size_t k = 0; k < saved_; ++k) push(kSaved[k]);
        // The return address and an even number of pushes leave calls 8
        // bytes off their alignment.
        frame_ += saved_ % 2 == 0 ? 8 : 0;
        sub(rsp, static_cast<std::uint32_t>(frame_));
        mov(rbx, kArgument0);
        Xbyak::Label loop, done;
        if (mode_ == Mode::Rows) {
            mov(r12, ptr[rbx + offsetof(Rows, count)]);
            mov(r14, ptr[rbx + offsetof(Rows, out)]);
            mov(r15, ptr[rbx + offsetof(Rows, outStride)]);
            mov(rbp, ptr[rbx + offsetof(Rows, columns)]);
            holdColumns(code, actions);
            xor_(r13, r13); // the row
            test(r12, r12);
            jz(done, T_NEAR);
            L(loop);
        }
        for (const StretchAction& a : actions) {
            if (a.kind == StretchAction::Kept) {
                loadKept(a.first);
                continue;
            }
            if (a.kind == StretchAction::Result) {
                mov(rax, ptr[rbx + offsetof(Rows, result)]);
                room();
                fld(qword[rax + r13 * 8]);
                pushed(true);
                continue;
            }
            for (std::size_t k = a.first; k < a.last; ++k) {
                const Instruction& i = code.steps[k];
                // A variable the next step takes as a double is read as one.
                if (isVariable(i.op) && k + 1 < a.last && takesDouble(code.steps[k + 1])) {
                    pending_ = &i;
                    continue;
                }
                if (k == flagsSelect_) {
                    selectByFlags();
                    flagsSelect_ = kNoStep;
                    continue;
                }
                if (flagsSelect_ == kNoStep && !stretch_ && mode_ == Mode::Rows &&
                    (isOrder(i.op) || isBoolColumn(i))) {
                    flagsSelect_ = selectTakingFlags(code, k);
                    if (flagsSelect_ != kNoStep) {
                        if (isOrder(i.op))
                            compareToFlags(i.op);
                        else if (!boolToFlags(i))
                            return false;
                        continue;
                    }
                }
                if (!step(code, i)) return false;
            }
        }
        if (stretch_ && stretch_->call < code.steps.size()) {
            if (depth_ != stretch_->keep.size() + stretch_->arguments) return false;
            leave();
        } else {
            if (depth_ != 1) return false;
            inRegisters(1);
        }
        if (mode_ == Mode::Rows) {
            if (depth_ == 1) {
                if (output_ == ValueType::Float32)
                    fstp(dword[r14]); // rounded once, from 80 bits
                else
                    fstp(qword[r14]); // rounded to double, as the result is
                add(r14, r15);
            }
            depth_ = registers_ = 0;
            inc(r13);
            cmp(r13, r12);
            jb(loop, T_NEAR);
            L(done);
        }
        L(exit_);
#ifdef _WIN32
        if (mode_ == Mode::Scalar) {
            mov(rax, rbx);
            extendedAtRax(7, offsetof(NativeOutcome, result)); // fstp: the value, all 80 bits
        }
#endif
        add(rsp, static_cast<std::uint32_t>(frame_));
        for (std::size_t k = saved_; k-- > 0;) pop(kSaved[k]);
        ret();
        if (mode_ == Mode::Scalar) { // a failure returns 0 with the outcome set
            L(lost_);
            mov(byte[rbx + offsetof(NativeOutcome, lost)], 1);
            L(failed_);
            fldz();
            jmp(exit_, T_NEAR);
        }
        // What the x87 forms leave undecided, with x at kDouble: the SSE
        // function under the engine's settings.
        for (Undecided& u : undecided_) {
            L(u.loaded);
            fstp(st0);
            L(u.at);
            movsd(xmm0, qword[rsp + kDouble]);
            if (u.power) movsd(xmm1, number(u.exponent));
            callAt(u.power ? reinterpret_cast<const void*>(&powNumberWithSse)
                           : reinterpret_cast<const void*>(&sqrtWithSse));
            movsd(qword[rsp + kDouble], xmm0);
            fld(qword[rsp + kDouble]);
            jmp(u.back, T_NEAR);
        }
        align(16);
        for (Constant& c : constants_) {
            L(c.label);
            dq(c.low);
            if (c.extended) dq(c.high);
        }
        return true;
    }

private:
    struct Constant {
        Xbyak::Label label;
        std::uint64_t low = 0, high = 0;
        bool extended = false;
    };
    // Frame: two 16-byte argument slots, a double, a column's converted
    // element, then the spilled values.
#ifdef _WIN32
    // Windows x64: arguments in rcx, rdx, r8 and r9 (a double in the xmm
    // register of its position), then on the stack above 32 bytes that the
    // callee may use; a long double is passed by its address, and returned
    // where the caller's first argument says (callExtended). A scalar run
    // leaves its value in the outcome.
    static constexpr bool kWindows = true;
    static constexpr std::size_t kOutgoing = 48; // those 32 bytes, two arguments
#else
    static constexpr bool kWindows = false;
    static constexpr std::size_t kOutgoing = 0;
#endif
    const Xbyak::Reg64 kArgument0 = kWindows ? rcx : rdi, kArgument1 = kWindows ? rdx : rsi;
    // The extended arguments' slots (on the stack themselves on System V), a
    // double, a column's element, a call's extended result (Windows), then
    // the spilled values.
    static constexpr std::size_t kArguments = kOutgoing, kDouble = kOutgoing + 32,
                                 kColumn = kOutgoing + 40, kResult = kOutgoing + 48,
                                 kSlots = kOutgoing + 48 + (kWindows ? 16 : 0);
    // rbx: the outcome or the rows; rows: r12 the count, r13 the row, r14
    // where the result goes, r15 the bytes between results, rbp the columns.
    const Xbyak::Reg64 kSaved[6] = {rbx, rbp, r12, r13, r14, r15};
    std::size_t saved_ = 0;
    // Code that calls nothing keeps the starts of up to four contiguous
    // columns in registers no call could overwrite.
    const Xbyak::Reg64 kHolders[4] = {r8, r9, r10, r11};
    std::vector<std::size_t> held_;

    void holdColumns(const Code& code, const std::vector<StretchAction>& actions) {
        std::vector<const Instruction*> run;
        for (const StretchAction& a : actions)
            for (std::size_t k = a.first; a.kind == StretchAction::Steps && k < a.last; ++k) {
                if (calls(code.steps[k].op)) return;
                run.push_back(&code.steps[k]);
            }
        for (const Instruction* s : run) {
            const Instruction& i = *s;
            if (!readsCell(i.op) || !(i.cell >= slots_ && i.cell < slots_ + columns_->size()) ||
                held_.size() == 4)
                continue;
            const auto k = static_cast<std::size_t>(i.cell - slots_);
            if ((*columns_)[k].stride != static_cast<std::ptrdiff_t>(sizeOf((*columns_)[k].type)) ||
                std::find(held_.begin(), held_.end(), k) != held_.end())
                continue;
            mov(kHolders[held_.size()], ptr[rbp + k * sizeof(const char*)]);
            held_.push_back(k);
        }
    }
    static bool calls(Op op) {
        return op == Op::Pow || op == Op::PowNumber || op == Op::Unary || op == Op::Binary ||
               op == Op::Primitive || op == Op::PrimitiveNumber || op == Op::CallUnary ||
               op == Op::CallBinary || op == Op::CallNary;
    }
    Mode mode_;
    double* const* slots_;
    const std::vector<Column>* columns_;  // rows: the columns, for their strides
    const Stretch* stretch_;              // rows of a stretch between calls, or null
    std::size_t capacity_;                // the stretch's buffers: rows a level
    ValueType output_;                    // rows: what a result is stored as
    ValueType kind_ = ValueType::Float64; // what the last variable() left at its address
    std::size_t frame_ = 0;
    std::size_t depth_ = 0, registers_ = 0;     // values, and how many on the x87 stack
    std::vector<bool> exact_, spilledAsDouble_; // by position on the stack
    std::deque<Constant> constants_;            // labels never move once referred to
    Xbyak::Label exit_, lost_, failed_;
    // A power or root the x87 form cannot decide, handled out of line: from
    // `at` with x87's stack as before the step, from `loaded` with one more.
    struct Undecided {
        Xbyak::Label at, loaded, back;
        bool power = false;
        double exponent = 0;
    };
    std::deque<Undecided> undecided_;
    // A variable read straight into an xmm register by the step after it:
    // its double and the double of its extended value are the same number,
    // and the functions it may go to give the same bits for a signaling NaN
    // as for the quiet one the extended value would be.
    const Instruction* pending_ = nullptr;
    // A condition that stays in the flags for the Select at this step, and
    // which flags say it fails: below or equal (< and >), below (<= and >=),
    // or equal (a bool column's zero).
    static constexpr std::size_t kNoStep = ~std::size_t{0};
    enum class Fails { BelowOrEqual, Below, Equal };
    std::size_t flagsSelect_ = kNoStep;
    Fails fails_ = Fails::Below;

    static bool isVariable(Op op) {
        return op == Op::Variable || op == Op::VariableFirst;
    }
    bool takesDouble(const Instruction& next) const {
        switch (next.op) {
        case Op::Sqrt:
            return true;
        case Op::Unary: // the engine's own: libm's, NaN in, the same NaN out
            return isPure(next.unary);
        case Op::PowNumber: // pow(NaN, 0) is 1, but for a signaling NaN
            return next.number != 0 && next.number == next.number;
        default:
            return false;
        }
    }

    // 80-bit loads and stores, which Xbyak does not spell: DB /5 and DB /7
    // on [rsp + disp32], or on [rax].
    void extendedAtStack(int operation, std::size_t offset) {
        db(0xDB);
        db(0x84 | operation << 3); // mod 10, r/m 100: a SIB byte follows
        db(0x24);                  // base rsp, no index
        dd(static_cast<std::uint32_t>(offset));
    }
    // The same on [rax + disp32].
    void extendedAtRax(int operation, std::size_t offset) {
        db(0xDB);
        db(0x80 | operation << 3); // mod 10, r/m 000
        dd(static_cast<std::uint32_t>(offset));
    }
    // rax: where the row's values of the kept levels start (16 bytes each).
    void keptOfRow() {
        mov(rax, ptr[rbx + offsetof(Rows, kept)]);
        mov(rcx, r13);
        shl(rcx, 4);
        add(rax, rcx);
    }
    // A value an earlier stretch kept at its level.
    void loadKept(std::size_t level) {
        keptOfRow();
        room();
        extendedAtRax(5, level * capacity_ * 16);
        pushed();
    }
    // A stretch's row ends with its call's arguments as doubles, and keeps the
    // values under them that a later stretch takes.
    void leave() {
        for (std::size_t k = stretch_->arguments; k-- > 0;) {
            inRegisters(1);
            mov(rax, ptr[rbx + offsetof(Rows, arguments)]);
            fstp(qword[rax + r13 * 8 + static_cast<std::uint32_t>(k * capacity_ * 8)]);
            --depth_;
            --registers_;
        }
        if (!stretch_->keep.empty()) keptOfRow();
        for (std::size_t j = stretch_->keep.size(); j-- > 0;) {
            inRegisters(1);
            extendedAtRax(7, stretch_->keep[j] * capacity_ * 16);
            --depth_;
            --registers_;
        }
    }
    // A value that is exactly a double (a variable, a number, what a
    // function of doubles returned) is spilled as one: 80-bit stores and
    // loads are slow, and its 64 bits lose nothing.
    void loadSlot(std::size_t j) {
        if (spilledAsDouble_[j])
            fld(qword[rsp + kSlots + 16 * j]);
        else
            extendedAtStack(5, kSlots + 16 * j);
    }
    void storeSlot(std::size_t j) {
        spilledAsDouble_[j] = exact_[j];
        if (exact_[j])
            fstp(qword[rsp + kSlots + 16 * j]);
        else
            extendedAtStack(7, kSlots + 16 * j);
    }
    void storeArgument(int n) {
        extendedAtStack(7, kArguments + 16 * static_cast<std::size_t>(n));
    }
    Xbyak::Address number(double value) {
        constants_.emplace_back();
        std::memcpy(&constants_.back().low, &value, sizeof value);
        return qword[rip + constants_.back().label];
    }
    void loadExtended(long double value) {
        constants_.emplace_back();
        constants_.back().extended = true;
        unsigned char bytes[16] = {};
        std::memcpy(bytes, &value, 10);
        std::memcpy(&constants_.back().low, bytes, 8);
        std::memcpy(&constants_.back().high, bytes + 8, 8);
        lea(rax, ptr[rip + constants_.back().label]);
        db(0xDB); // fld tword [rax]
        db(0x28);
    }

    // Every register value to its slot: before a call, or when the register
    // stack is full.
    void spill() {
        for (std::size_t j = depth_; registers_ > 0; --registers_) storeSlot(--j);
    }
    // Room for one more value on the register stack.
    void room() {
        if (registers_ == kRegisters) spill();
    }
    void drop() {
        if (registers_ > 0) {
            fstp(st0);
            --registers_;
        }
        --depth_;
    }
    // The topmost n (1 or 2) values on the register stack, in order.
    void inRegisters(std::size_t n) {
        if (registers_ >= n) return;
        if (registers_ == 0) {
            for (std::size_t j = depth_ - n; j < depth_; ++j) loadSlot(j);
        } else { // the top is there, the one below is not
            loadSlot(depth_ - 2);
            fxch(st1);
        }
        registers_ = n;
    }
    void pushed(bool exact = false) {
        exact_[depth_] = exact;
        ++depth_;
        ++registers_;
    }
    // Where the variable's value is. A column's is found from the row (no
    // chain of updates from row to row), from a register where it has one; a
    // registered variable's cell is read at every run, and in a scalar run a
    // lost one ends it.
    // With `direct`, a float32, int32 or int16 column's element is left
    // where it is, for the x87's own loads of those types (exact, as the
    // conversion to double is); `kind_` says what `at` holds.
    // With `raw`, a column's element is left as its type has it.
    bool variable(const Instruction& i, Xbyak::RegExp& at, bool direct = false, bool raw = false) {
        kind_ = ValueType::Float64;
        if (mode_ == Mode::Scalar && columns_ && i.cell >= slots_ &&
            i.cell < slots_ + columns_->size()) {
            mov(rax, ptr[rbx + offsetof(NativeOutcome, values)]);
            at = rax + static_cast<int>(static_cast<std::size_t>(i.cell - slots_) * sizeof(double));
            return true;
        }
        if (mode_ == Mode::Rows && i.cell >= slots_ && i.cell < slots_ + columns_->size()) {
            const auto k = static_cast<std::size_t>(i.cell - slots_);
            const std::ptrdiff_t stride = (*columns_)[k].stride;
            const ValueType type = (*columns_)[k].type;
            const bool x87 = direct && (type == ValueType::Float32 || type == ValueType::Int32 ||
                                        type == ValueType::Int16);
            const auto held = std::find(held_.begin(), held_.end(), k);
            if (held != held_.end()) { // contiguous, its start in a register
                at = kHolders[held - held_.begin()] + r13 * static_cast<int>(stride);
                if (x87)
                    kind_ = type;
                else if (!raw)
                    converted(type, at);
                return true;
            }
            mov(rax, ptr[rbp + k * sizeof(const char*)]);
            at = rax;
            if (stride == 1 || stride == 2 || stride == 4 || stride == 8) {
                at = rax + r13 * static_cast<int>(stride);
            } else if (stride != 0) {
                if (stride < INT32_MIN || stride > INT32_MAX) return false;
                imul(rcx, r13, static_cast<int>(stride));
                at = rax + rcx;
            }
            if (x87)
                kind_ = type;
            else if (!raw)
                converted(type, at);
            return true;
        }
        mov(rax, reinterpret_cast<std::uintptr_t>(i.cell));
        mov(rax, ptr[rax]);
        at = rax;
        if (mode_ == Mode::Rows) return true; // checked before the run
        Xbyak::Label found;
        test(rax, rax);
        jnz(found);
        for (std::size_t k = 0; k < registers_; ++k) fstp(st0);
        jmp(lost_, T_NEAR);
        L(found);
        return true;
    }

    // A column of another type than float64: its element converted to the
    // double a float64 copy holds (the interpreter's conversion), in the
    // frame's own slot, which `at` then names. The code runs under the
    // engine's SSE settings, so an int64 rounds to nearest, ties to even.
    void converted(ValueType type, Xbyak::RegExp& at) {
        switch (type) {
        case ValueType::Float64:
            return;
        case ValueType::Float32:
            cvtss2sd(xmm5, dword[at]);
            break;
        case ValueType::Int64: // through a register: the memory form converts 32 bits
            mov(rcx, qword[at]);
            cvtsi2sd(xmm5, rcx);
            break;
        case ValueType::Int32:
            cvtsi2sd(xmm5, dword[at]);
            break;
        case ValueType::UInt32:
            mov(ecx, dword[at]); // zero-extended to rcx
            cvtsi2sd(xmm5, rcx);
            break;
        case ValueType::Int16:
            movsx(ecx, word[at]);
            cvtsi2sd(xmm5, ecx);
            break;
        case ValueType::UInt16:
            movzx(ecx, word[at]);
            cvtsi2sd(xmm5, ecx);
            break;
        case ValueType::Int8:
            movsx(ecx, byte[at]);
            cvtsi2sd(xmm5, ecx);
            break;
        case ValueType::UInt8:
            movzx(ecx, byte[at]);
            cvtsi2sd(xmm5, ecx);
            break;
        case ValueType::Bool: // 0 or not
            cmp(byte[at], 0);
            setne(cl);
            movzx(ecx, cl);
            cvtsi2sd(xmm5, ecx);
            break;
        }
        movsd(qword[rsp + kColumn], xmm5);
        at = rsp + kColumn;
    }

    // After a trampoline: a throw ends the run (`results` values on the
    // register stack are dropped first).
    void unlessThrown(std::size_t results) {
        Xbyak::Label fine;
        cmp(byte[rbx + offsetof(NativeOutcome, threw)], 0);
        je(fine);
        for (std::size_t k = 0; k < results; ++k) fstp(st0);
        jmp(failed_, T_NEAR);
        L(fine);
    }
    void callAt(const void* function) {
        mov(rax, reinterpret_cast<std::uintptr_t>(function));
        call(rax);
    }
    // The top value as a double in xmm0 (or xmm1), taken off the stack.
    void topAsDouble(const Xbyak::Xmm& to) {
        if (pending_) { // never on the stack
            Xbyak::RegExp at;
            if (!variable(*pending_, at)) throw Xbyak::Error(Xbyak::ERR_INTERNAL);
            movsd(to, qword[at]);
            pending_ = nullptr;
            return;
        }
        inRegisters(1);
        fstp(qword[rsp + kDouble]);
        movsd(to, qword[rsp + kDouble]);
        --depth_;
        --registers_;
    }
    void pushDouble(const Xbyak::Xmm& from) {
        movsd(qword[rsp + kDouble], from);
        room();
        fld(qword[rsp + kDouble]);
        pushed(true);
    }
    // The top two values into the argument slots, taken off the stack.
    void pairAsArguments() {
        inRegisters(2);
        storeArgument(1);
        storeArgument(0);
        depth_ -= 2;
        registers_ -= 2;
    }

    bool step(const Code& code, const Instruction& i) {
        switch (i.op) {
        case Op::Number:
        case Op::NumberFirst:
            room();
            fld(number(i.number));
            pushed(true);
            return true;
        case Op::Constant:
        case Op::ConstantFirst:
            room();
            loadExtended(code.constants[i.index]);
            pushed();
            return true;
        case Op::Variable:
        case Op::VariableFirst: {
            room();
            Xbyak::RegExp at;
            if (!variable(i, at, true)) return false;
            if (kind_ == ValueType::Float32)
                fld(dword[at]);
            else if (kind_ == ValueType::Int32)
                fild(dword[at]);
            else if (kind_ == ValueType::Int16)
                fild(word[at]);
            else
                fld(qword[at]);
            pushed(true);
            return true;
        }
        case Op::Add:
        case Op::Sub:
        case Op::Mul:
        case Op::Div:
            inRegisters(2);
            if (i.op == Op::Add) faddp();
            if (i.op == Op::Sub) fsubp(); // st1 - st0: left - right
            if (i.op == Op::Mul) fmulp();
            if (i.op == Op::Div) fdivp();
            --depth_;
            --registers_;
            exact_[depth_ - 1] = false;
            return true;
        case Op::AddNumber:
        case Op::SubNumber:
        case Op::MulNumber:
        case Op::DivNumber:
            inRegisters(1);
            withOperand(i.op, number(i.number), Op::AddNumber);
            return true;
        case Op::AddVariable:
        case Op::SubVariable:
        case Op::MulVariable:
        case Op::DivVariable: {
            inRegisters(1);
            Xbyak::RegExp at;
            if (!variable(i, at, true)) return false;
            withOperand(i.op, at, Op::AddVariable);
            return true;
        }
        case Op::Pow:
            topAsDouble(xmm1);
            topAsDouble(xmm0);
            spill();
            callAt(reinterpret_cast<const void*>(libmPow));
            pushDouble(xmm0);
            return true;
        case Op::PowNumber: {
            // A scalar run reads no MXCSR: it takes the x87's form.
            const int k = mode_ == Mode::Scalar ? fastExponent(i.number) : 0;
            if (k != 0) {
                powerOnX87(k, i.number);
                return true;
            }
            topAsDouble(xmm0);
            spill();
            movsd(xmm1, number(i.number));
            callAt(reinterpret_cast<const void*>(&powNumber));
            pushDouble(xmm0);
            return true;
        }
        case Op::Sqrt:
            // Correctly rounded, the instruction is the function; but it
            // reads MXCSR, so a scalar run takes the x87's form.
            if (mode_ == Mode::Scalar) {
                rootOnX87();
                return true;
            }
            topAsDouble(xmm0);
            sqrtsd(xmm0, xmm0);
            pushDouble(xmm0);
            return true;
        case Op::Unary:
            topAsDouble(xmm0);
            spill();
            if (i.library) movsd(qword[rsp + kArguments], xmm0);
            if (!callFunction(isPure(i.unary), reinterpret_cast<const void*>(i.unary),
                              reinterpret_cast<const void*>(&callUnaryPointer), 0))
                return false;
            if (i.library) madeNaN();
            pushDouble(xmm0);
            return true;
        case Op::Binary:
            pairAsArguments();
            spill();
            if (!(kWindows ? callExtendedFunction(isPure(i.binary),
                                                  reinterpret_cast<const void*>(i.binary),
                                                  reinterpret_cast<const void*>(&callBinaryPointer),
                                                  {Passed::Left, Passed::Right})
                           : callFunction(isPure(i.binary), reinterpret_cast<const void*>(i.binary),
                                          reinterpret_cast<const void*>(&callBinaryPointer), 1)))
                return false;
            pushed();
            return true;
        case Op::Primitive:
            // Machine code runs rows without nulls: fill_null and coalesce
            // keep their first operand, is_null is false.
            if (i.rule == NullRule::FillNull && i.arity == 2) {
                drop();
                return true;
            }
            if (i.rule == NullRule::IsNull && i.arity == 1) {
                drop();
                room();
                fldz();
                pushed(true);
                return true;
            }
            return primitive(i.primitive, i.arity, code.accurate);
        case Op::PrimitiveNumber:
            inRegisters(1);
            storeArgument(0);
            --depth_;
            --registers_;
            fld(number(i.number2));
            storeArgument(1);
            spill();
            return callPrimitiveAt(i.primitive, code.accurate);
        case Op::CallUnary:
            if (mode_ != Mode::Scalar) return false;
            topAsDouble(xmm0);
            spill();
            mov(kArgument0, rbx);
            if (kWindows) movsd(xmm2, xmm0); // the third argument
            if (const NaryOfOne* one = i.callUnary->target<NaryOfOne>()) {
                mov(kArgument1, reinterpret_cast<std::uintptr_t>(&one->f));
                callAt(reinterpret_cast<const void*>(&callNaryOfOne));
            } else {
                mov(kArgument1, reinterpret_cast<std::uintptr_t>(i.callUnary));
                callAt(reinterpret_cast<const void*>(&callUnary));
            }
            unlessThrown(0);
            pushDouble(xmm0);
            return true;
        case Op::Less:
        case Op::LessEqual:
        case Op::Greater:
        case Op::GreaterEqual:
        case Op::Equal:
        case Op::NotEqual:
            compare(i.op);
            return true;
        case Op::Not:
        case Op::Truth:
            zeroTest(i.op == Op::Not);
            return true;
        case Op::Select:
            select();
            return true;
        case Op::PowInteger:
            powInteger(i.number);
            return true;
        case Op::PowHalf:
            powHalf();
            return true;
        case Op::CallNary: // interpreted
            return false;
        case Op::CallBinary:
            if (mode_ != Mode::Scalar) return false;
            pairAsArguments();
            spill();
            if (kWindows) {
                callExtendedFunction(false, i.callBinary,
                                     reinterpret_cast<const void*>(&callBinary),
                                     {Passed::Left, Passed::Right});
            } else {
                mov(rdi, rbx);
                mov(rsi, reinterpret_cast<std::uintptr_t>(i.callBinary));
                callAt(reinterpret_cast<const void*>(&callBinary));
                unlessThrown(1);
            }
            pushed();
            return true;
        }
        return false;
    }

    // Comparisons and selections without a branch: fucomip sets the flags,
    // which no x87 load or exchange changes, and fcmov picks the value. An
    // unordered comparison sets ZF, PF and CF alike, so each relation is
    // spelled as one that fails where they are set.
    void compare(Op op) {
        inRegisters(2); // st0 the right value, st1 the left
        if (op == Op::Greater || op == Op::GreaterEqual) fxch(st1);
        fucomip(st0, st1); // st0 above st1: left < right, or left > right after the exchange
        fstp(st0);
        depth_ -= 2;
        registers_ -= 2;
        if (op == Op::Equal || op == Op::NotEqual) {
            equalToPrevious(op == Op::Equal);
        } else {
            fldz();
            fld1();
            if (op == Op::Less || op == Op::Greater)
                fcmovbe(st0, st1);
            else
                fcmovb(st0, st1);
            fstp(st1);
        }
        pushed(true);
    }
    // 1 or 0 by the flags of the comparison before: where the two were equal
    // (and ordered), `equal`, else the other.
    void equalToPrevious(bool equal) {
        if (equal) {
            fldz();
            fld1();
        } else {
            fld1();
            fldz();
        }
        fcmovne(st0, st1);
        fcmovu(st0, st1);
        fstp(st1);
    }
    // Not: 1 where the value is zero; Truth: 1 where it is not (a NaN too).
    void zeroTest(bool isNot) {
        room(); // for the zero it is compared with
        inRegisters(1);
        fldz();
        fucomip(st0, st1);
        fstp(st0);
        --depth_;
        --registers_;
        equalToPrevious(isNot);
        pushed(true);
    }
    // The product a whole exponent denotes, as powInteger (machine.h) forms
    // it: the base in st0, the result, once begun, above it.
    void powInteger(double exponent) {
        auto m = static_cast<std::uint32_t>(exponent < 0 ? -exponent : exponent);
        room(); // for the result beside the base, or for the 1 a reciprocal divides
        inRegisters(1);
        exact_[depth_ - 1] = false;
        if (m == 0) {
            fstp(st0);
            fld1();
            exact_[depth_ - 1] = true;
            return;
        }
        bool begun = false; // the result in st0, the base in st1
        for (;;) {
            while (!(m & 1)) {
                square(begun);
                m >>= 1;
            }
            m >>= 1;
            if (!begun && m) {
                fld(st0);
                begun = true;
            } else if (begun) {
                fmul(st0, st1);
            }
            if (!m) break;
            square(begun);
        }
        if (begun) fstp(st1);
        if (exponent < 0) {
            fld1();
            fxch(st1);
            fdivp(); // st1 / st0: 1 / the product
        }
    }
    void square(bool belowResult) {
        if (belowResult) fxch(st1);
        fmul(st0, st0);
        if (belowResult) fxch(st1);
    }
    // The top value as a double at kDouble and on the x87 stack alone: every
    // other value spilled, for the call an undecided case makes.
    void doubleAlone() {
        if (pending_) { // a variable's double, never on the stack
            Xbyak::RegExp at;
            if (!variable(*pending_, at)) throw Xbyak::Error(Xbyak::ERR_INTERNAL);
            pending_ = nullptr;
            spill();
            mov(rax, qword[at]);
            mov(qword[rsp + kDouble], rax);
        } else {
            inRegisters(1);
            fstp(qword[rsp + kDouble]);
            --depth_;
            --registers_;
            spill();
        }
    }
    // Its 11 bits below a double's last one into eax, the value kept.
    void lowBits() {
        fld(st0);
        extendedAtStack(7, kArguments); // fstp tword
        movzx(eax, word[rsp + kArguments]);
        and_(eax, 0x7FF);
    }
    // sqrtOnX87's steps (powers.h).
    void rootOnX87() {
        doubleAlone();
        Undecided& u = undecided_.emplace_back();
        fld(qword[rsp + kDouble]);
        fsqrt();
        lowBits();
        cmp(eax, 0x400);
        je(u.loaded, T_NEAR);
        fstp(qword[rsp + kDouble]);
        fld(qword[rsp + kDouble]);
        L(u.back);
        pushed(true);
    }
    // powNumberOnX87's steps (powers.h) for its exponent k.
    void powerOnX87(int k, double exponent) {
        doubleAlone();
        Undecided& u = undecided_.emplace_back();
        u.power = true;
        u.exponent = exponent;
        mov(rax, qword[rsp + kDouble]); // |x| within 2^-120 .. 2^120
        btr(rax, 63);
        mov(rcx, std::uint64_t{1023 - 120} << 52);
        sub(rax, rcx);
        mov(rcx, std::uint64_t{240} << 52);
        cmp(rax, rcx);
        ja(u.at, T_NEAR);
        fld(qword[rsp + kDouble]);
        for (int m = 1; m < (k < 0 ? -k : k); ++m) fmul(qword[rsp + kDouble]);
        if (k < 0) {
            fld1();
            fdivrp(); // 1 / the product
        }
        lowBits(); // near a double: outside 769 .. 1279
        sub(eax, 769);
        cmp(eax, 510);
        jbe(u.loaded, T_NEAR);
        fstp(qword[rsp + kColumn]);
        mov(rax, qword[rsp + kColumn]);
        shl(rax, 12); // a power of two: undecided
        jz(u.at, T_NEAR);
        fld(qword[rsp + kColumn]);
        L(u.back);
        pushed(true);
    }
    // As powHalf (machine.h): the root of x + 0, or +inf where x is -inf.
    void powHalf() {
        if (registers_ + 3 > kRegisters) spill();
        inRegisters(1);
        fld(st0);
        fabs();   // |x|, x
        fld(st1); // x, |x|, x
        fldz();
        faddp();   // x + 0 turns -0 into +0
        fsqrt();   // the root, |x|, x
        fxch(st2); // x, |x|, the root
        fld(number(-std::numeric_limits<double>::infinity()));
        fucomip(st0, st1); // ZF where x is -inf (or unordered: PF too)
        fstp(st0);         // |x|, the root
        fcmovne(st0, st1);
        fcmovu(st0, st1); // the root but where x is -inf
        fstp(st1);
        exact_[depth_ - 1] = false;
    }
    static bool isOrder(Op op) {
        return op == Op::Less || op == Op::LessEqual || op == Op::Greater || op == Op::GreaterEqual;
    }
    // Whether a step's code leaves the flags alone: loads and x87 arithmetic,
    // a column read without a multiplication for its stride or a comparison
    // for a bool.
    bool keepsFlags(const Instruction& i) const {
        switch (i.op) {
        case Op::Number:
        case Op::NumberFirst:
        case Op::Constant:
        case Op::ConstantFirst:
        case Op::Add:
        case Op::Sub:
        case Op::Mul:
        case Op::Div:
        case Op::AddNumber:
        case Op::SubNumber:
        case Op::MulNumber:
        case Op::DivNumber:
            return true;
        case Op::Variable:
        case Op::VariableFirst:
        case Op::AddVariable:
        case Op::SubVariable:
        case Op::MulVariable:
        case Op::DivVariable: {
            if (!(i.cell >= slots_ && i.cell < slots_ + columns_->size())) return true;
            const Column& c = (*columns_)[static_cast<std::size_t>(i.cell - slots_)];
            return c.type != ValueType::Bool && (c.stride == 0 || c.stride == 1 || c.stride == 2 ||
                                                 c.stride == 4 || c.stride == 8);
        }
        default:
            return false;
        }
    }
    // The Select whose condition is the comparison at step `at`, where the
    // steps between (its two values) leave the flags as the comparison set
    // them: the choice then reads the flags, not a 0 or 1 compared again.
    std::size_t selectTakingFlags(const Code& code, std::size_t at) const {
        std::ptrdiff_t above = 0; // values pushed since the comparison's
        for (std::size_t k = at + 1; k < code.steps.size(); ++k) {
            const Instruction& i = code.steps[k];
            if (i.op == Op::Select) return above == 2 ? k : kNoStep;
            const std::ptrdiff_t change = stackChange(i);
            // A step that would take the comparison's value as an operand.
            if (!keepsFlags(i) || above + change < 0 || (change < 0 && above < 2) ||
                (change == 0 && above < 1))
                return kNoStep;
            above += change;
        }
        return kNoStep;
    }
    // The comparison's outcome in the flags, as compare() sets them before
    // reading them; a placeholder takes the condition's place on the stack.
    void compareToFlags(Op op) {
        inRegisters(2); // st0 the right value, st1 the left
        if (op == Op::Greater || op == Op::GreaterEqual) fxch(st1);
        fucomip(st0, st1);
        fstp(st0);
        depth_ -= 2;
        registers_ -= 2;
        fails_ = op == Op::Less || op == Op::Greater ? Fails::BelowOrEqual : Fails::Below;
        room();
        fldz();
        pushed(true);
    }
    // A column of bytes (bool, uint8, int8: a validity column too), whose
    // value is not zero exactly where its byte is not.
    bool isBoolColumn(const Instruction& i) const {
        if (!(i.op == Op::Variable || i.op == Op::VariableFirst) || i.cell < slots_ ||
            i.cell >= slots_ + columns_->size())
            return false;
        const ValueType type = (*columns_)[static_cast<std::size_t>(i.cell - slots_)].type;
        return type == ValueType::Bool || type == ValueType::UInt8 || type == ValueType::Int8;
    }
    // Such a column's element as the condition: its zero in the flags.
    bool boolToFlags(const Instruction& i) {
        room();
        Xbyak::RegExp at;
        if (!variable(i, at, false, true)) return false;
        cmp(byte[at], 0);
        fails_ = Fails::Equal;
        fldz();
        pushed(true);
        return true;
    }
    // select() by the flags compareToFlags left: the other value where the
    // comparison fails (as compare() gives 0 there; unordered fails too).
    void selectByFlags() {
        const bool exact = choiceInRegisters();
        fxch(st1); // st0 the chosen value, st1 the other, st2 the placeholder
        if (fails_ == Fails::BelowOrEqual)
            fcmovbe(st0, st1);
        else if (fails_ == Fails::Below)
            fcmovb(st0, st1);
        else
            fcmove(st0, st1);
        fstp(st1);
        fstp(st1);
        depth_ -= 3;
        registers_ -= 3;
        pushed(exact);
    }
    // A choice's three values (condition, chosen, other) as the three
    // topmost registers; whether both values are exact.
    bool choiceInRegisters() {
        if (registers_ < 3 || registers_ == kRegisters) {
            spill();
            for (std::size_t j = depth_ - 3; j < depth_; ++j) loadSlot(j);
            registers_ = 3;
        }
        return exact_[depth_ - 2] && exact_[depth_ - 1];
    }
    // Condition, chosen value and other value, the three topmost.
    void select() {
        const bool exact = choiceInRegisters();
        fxch(st2); // st0 the condition, st1 the chosen value, st2 the other
        fldz();
        fucomip(st0, st1);
        fstp(st0);
        fxch(st1); // st0 the other value, st1 the chosen one
        fcmovne(st0, st1);
        fcmovu(st0, st1); // a NaN condition holds
        fstp(st1);
        depth_ -= 3;
        registers_ -= 3;
        pushed(exact);
    }

    // The accumulator with an operand from memory: `first` is the Add of the
    // group, the others follow it in order.
    void withOperand(Op op, const Xbyak::Address& operand, Op first) {
        exact_[depth_ - 1] = false;
        switch (static_cast<int>(op) - static_cast<int>(first)) {
        case 0:
            fadd(operand);
            break;
        case 1:
            fsub(operand); // st0 - operand
            break;
        case 2:
            fmul(operand);
            break;
        default:
            fdiv(operand);
            break;
        }
    }
    // A column's element as the operand, of the type variable() left it in.
    void withOperand(Op op, const Xbyak::RegExp& at, Op first) {
        if (kind_ == ValueType::Float32) return withOperand(op, dword[at], first);
        if (kind_ == ValueType::Float64) return withOperand(op, qword[at], first);
        exact_[depth_ - 1] = false;
        const Xbyak::Address operand = kind_ == ValueType::Int32 ? dword[at] : word[at];
        switch (static_cast<int>(op) - static_cast<int>(first)) {
        case 0:
            fiadd(operand);
            break;
        case 1:
            fisub(operand);
            break;
        case 2:
            fimul(operand);
            break;
        default:
            fidiv(operand);
            break;
        }
    }

    // An operator's primitive: one operand is `right`, the values past the
    // second are dropped, none gives it zeros.
    bool primitive(OperatorFunction function, int arity, bool accurate) {
        if (arity == 0) {
            room();
            fldz();
            storeArgument(0);
            fldz();
            storeArgument(1);
        } else {
            inRegisters(1);
            storeArgument(1);
            --depth_;
            --registers_;
            if (arity >= 2) {
                inRegisters(1);
                storeArgument(0);
                --depth_;
                --registers_;
            } else {
                fldz();
                storeArgument(0);
            }
            for (int extra = 2; extra < arity; ++extra) drop();
        }
        spill();
        return callPrimitiveAt(function, accurate);
    }
    // A primitive with its operands in the argument slots; one from outside
    // the engine through its trampoline.
    bool callPrimitiveAt(OperatorFunction function, bool accurate) {
        if (kWindows) {
            const Passed flag = accurate ? Passed::True : Passed::False;
            // The flag comes first in the primitive, third in its trampoline.
            if (isPure(function)
                    ? !callExtendedFunction(true, reinterpret_cast<const void*>(function), nullptr,
                                            {Passed::Left, Passed::Right, flag})
                    : !callExtendedFunction(false, reinterpret_cast<const void*>(function),
                                            reinterpret_cast<const void*>(&callPrimitive),
                                            {flag, Passed::Left, Passed::Right}))
                return false;
            pushed();
            return true;
        }
        // The flag is the primitive's first integer argument, the trampoline's third.
        mov(isPure(function) ? edi : edx, accurate ? 1 : 0);
        if (!callFunction(isPure(function), reinterpret_cast<const void*>(function),
                          reinterpret_cast<const void*>(&callPrimitive), 1))
            return false;
        pushed();
        return true;
    }
    // Windows x64's call of a function that returns a long double: where to
    // put it first, then the arguments in order, an extended one by the
    // address of its slot; the result is loaded onto the register stack.
    enum class Passed { Outcome, Function, False, True, Left, Right };
    void callExtended(const void* callee, const std::vector<Passed>& arguments,
                      const void* function = nullptr) {
        const Xbyak::Reg64 registers[] = {rcx, rdx, r8, r9};
        std::size_t position = 0;
        auto place = [&](auto&& load) {
            if (position < 4) {
                load(registers[position]);
            } else {
                load(rax);
                mov(qword[rsp + 32 + 8 * (position - 4)], rax);
            }
            ++position;
        };
        place([&](const Xbyak::Reg64& r) { lea(r, ptr[rsp + kResult]); });
        for (Passed a : arguments) {
            place([&](const Xbyak::Reg64& r) {
                switch (a) {
                case Passed::Outcome:
                    mov(r, rbx);
                    break;
                case Passed::Function:
                    mov(r, reinterpret_cast<std::uintptr_t>(function));
                    break;
                case Passed::False:
                case Passed::True:
                    mov(r, a == Passed::True ? 1 : 0);
                    break;
                case Passed::Left:
                case Passed::Right:
                    lea(r, ptr[rsp + kArguments + (a == Passed::Right ? 16 : 0)]);
                    break;
                }
            });
        }
        callAt(callee);
        extendedAtStack(5, kResult); // fld tword
    }
    // callFunction's counterpart there: the engine's own function directly,
    // one from outside through its trampoline, which takes the outcome and
    // the function before the arguments.
    bool callExtendedFunction(bool pure, const void* function, const void* trampoline,
                              std::initializer_list<Passed> arguments) {
        if (pure) {
            callExtended(function, arguments);
            return true;
        }
        if (mode_ != Mode::Scalar) return false;
        std::vector<Passed> all{Passed::Outcome, Passed::Function};
        all.insert(all.end(), arguments.begin(), arguments.end());
        callExtended(trampoline, all, function);
        unlessThrown(1);
        return true;
    }
    // A library function's result in xmm0, its argument at kArguments: a NaN
    // result becomes x87's (madeNaN): the indefinite, or the argument quieted.
    void madeNaN() {
        Xbyak::Label kept, passed, set;
        ucomisd(xmm0, xmm0);
        jnp(kept);
        mov(rax, qword[rsp + kArguments]);
        movq(xmm1, rax);
        ucomisd(xmm1, xmm1);
        jp(passed);
        mov(rax, kIndefinite);
        jmp(set);
        L(passed);
        bts(rax, 51);
        L(set);
        movq(xmm0, rax);
        L(kept);
    }
    // The engine's own function directly; one from outside through its
    // trampoline, with the outcome and the function as its first two
    // arguments, and the run ended where it threw (`results` values on the
    // register stack). Rows never call one: such code runs interpreted.
    bool callFunction(bool pure, const void* function, const void* trampoline,
                      std::size_t results) {
        if (pure) {
            callAt(function);
            return true;
        }
        if (mode_ != Mode::Scalar) return false;
        mov(kArgument0, rbx);
        mov(kArgument1, reinterpret_cast<std::uintptr_t>(function));
        if (kWindows) movsd(xmm2, xmm0); // a unary function's argument, third
        callAt(trampoline);
        unlessThrown(results);
        return true;
    }
};

// Bytes of code a step may take at most, and the rest.
constexpr std::size_t kStepBytes = 192, kFixedBytes = 512;

// The code as bytes, or none.
std::vector<std::uint8_t> generate(const Code& code, Mode mode, double* const* slots,
                                   const std::vector<Column>* columns,
                                   const Stretch* stretch = nullptr, std::size_t capacity = 0,
                                   ValueType output = ValueType::Float64) {
    if (output != ValueType::Float64 && output != ValueType::Float32) return {};
    if (!nativeEnabled() || code.ending != Ending::Value || code.depth != 1 ||
        code.steps.size() > kMaxSteps || code.maxDepth > kMaxDepth)
        return {};
    // A stretch also loads and stores its values at each end.
    const std::size_t bound = kFixedBytes + kStepBytes * code.steps.size() +
                              (stretch ? 96 * (code.maxDepth + kMostArguments) : 0);
    std::vector<std::uint8_t> scratch(bound);
    try {
        Generator g(bound, scratch.data(), mode, slots, columns, stretch, capacity, output);
        if (!g.generate(code)) return {};
        scratch.resize(g.getSize());
    } catch (const Xbyak::Error&) {
        return {};
    }
    return scratch;
}

} // namespace

NativeCode Native::place(const std::vector<std::uint8_t>& code,
                         const std::shared_ptr<CodeArena>& arena) {
    if (code.empty()) return nullptr;
    std::shared_ptr<CodeArena> in = arena ? arena : newCodeArena();
    void* at = in->place(code.data(), code.size());
    if (!at) return nullptr;
    generatedPieces.fetch_add(1, std::memory_order_relaxed);
    generatedBytes.fetch_add(code.size(), std::memory_order_relaxed);
    NativeCode native(new Native);
    native->arena_ = std::move(in);
    native->entry_ = at;
    native->bytes_ = code.size();
    return native;
}

NativeCode Native::scalar(const Code& code, const std::shared_ptr<CodeArena>& arena) {
    return place(generate(code, Mode::Scalar, nullptr, nullptr), arena);
}

NativeCode Native::scalar(const Code& code, double* const* slots, std::size_t count) {
    const std::vector<Column> values(count); // only their number counts
    return place(generate(code, Mode::Scalar, slots, &values), {});
}

NativeCode Native::rows(const Code& code, double* const* slots, const std::vector<Column>& columns,
                        const std::shared_ptr<CodeArena>& arena, ValueType output) {
    return place(generate(code, Mode::Rows, slots, &columns, nullptr, 0, output), arena);
}

NativeCode Native::stretch(const Code& code, const Stretch& s, std::size_t capacity,
                           double* const* slots, const std::vector<Column>& columns,
                           const std::shared_ptr<CodeArena>& arena, ValueType output) {
    // Its buffers are addressed with 32-bit displacements.
    if (capacity == 0 || (code.maxDepth + kMostArguments) * capacity * 16 > INT32_MAX)
        return nullptr;
    return place(generate(code, Mode::Rows, slots, &columns, &s, capacity, output), arena);
}

#endif

} // namespace velmoratrix
