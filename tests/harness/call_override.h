// A scoped override of a table of system calls: a struct of pointers to WINAPI functions, such as
// platform/system_calls.h's. While it lives, a test can make the Nth call of an entry fail with a
// chosen result and last error, give an entry to a fake (which reaches the real call through
// Real()), and count an entry's calls; when it ends, the table is as it was.
// An entry's state is the program's: one override of a table at a time, used from one thread.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <type_traits>
#include <vector>

namespace call_override {

// What stands in the table for one entry: counts the call, then fails it, fakes it or passes it on.
template <auto Entry, typename Member = decltype(Entry)>
struct Slot;
template <auto Entry, typename Table, typename Result, typename... Arguments>
struct Slot<Entry, Result (WINAPI* Table::*)(Arguments...)> {
    // What a failed call returns; an unused bool where the call returns nothing.
    using ResultType = std::conditional_t<std::is_void_v<Result>, bool, Result>;
    static inline Result(WINAPI* real)(Arguments...) = nullptr;  // null while not overridden
    static inline std::function<Result(Arguments...)> fake;
    static inline int calls = 0, failures = 0, failingCall = 0;  // failingCall 0: none fails
    static inline bool failLater = false;
    static inline DWORD failureError = 0;
    static inline ResultType failureResult{};

    static Result WINAPI Call(Arguments... arguments)
    {
        ++calls;
        if (failingCall != 0 && (calls == failingCall || (failLater && calls > failingCall))) {
            ++failures;
            SetLastError(failureError);
            return static_cast<Result>(failureResult);
        }
        return fake ? fake(arguments...) : real(arguments...);
    }
    static void Reset()
    {
        real = nullptr;
        fake = nullptr;
        calls = failures = failingCall = 0;
    }
};

}  // namespace call_override

template <typename Table>
class CallOverride {
public:
    explicit CallOverride(Table& table) : table_(table), real_(table)
    {
        if (active_) ADD_FAILURE() << "a table of calls overridden twice at once";
        active_ = true;
    }
    ~CallOverride()
    {
        table_ = real_;
        for (void (*reset)() : overridden_) reset();
        active_ = false;
    }
    CallOverride(const CallOverride&) = delete;
    CallOverride& operator=(const CallOverride&) = delete;

    // The calls as the table held them when the override began.
    const Table& Real() const { return real_; }

    // Counts the entry's calls from now on, and passes them on.
    template <auto Entry>
    void Watch()
    {
        using Slot = call_override::Slot<Entry>;
        if (Slot::real != nullptr) return;
        Slot::real = real_.*Entry;
        table_.*Entry = &Slot::Call;
        overridden_.push_back(&Slot::Reset);
    }

    // Every call of the entry goes to `fake` from now on, unless Fail makes it fail.
    template <auto Entry, typename Replacement>
    void Fake(Replacement fake)
    {
        Watch<Entry>();
        call_override::Slot<Entry>::fake = fake;
    }

    // The nth call of the entry from now on (1: the next; 0: none) returns `result` with `error` as
    // the last error, reaching neither fake nor real call; with `andLater`, so does every later call.
    template <auto Entry>
    void Fail(int nth, DWORD error, typename call_override::Slot<Entry>::ResultType result,
              bool andLater = false)
    {
        using Slot = call_override::Slot<Entry>;
        Watch<Entry>();
        Slot::failingCall = nth == 0 ? 0 : Slot::calls + nth;
        Slot::failLater = andLater;
        Slot::failureError = error;
        Slot::failureResult = result;
    }

    // The entry's calls since it was first overridden, and how many of them Fail failed.
    template <auto Entry>
    int Calls() const
    {
        if (call_override::Slot<Entry>::real == nullptr)
            ADD_FAILURE() << "calls counted of an entry not watched";
        return call_override::Slot<Entry>::calls;
    }
    template <auto Entry>
    int Failures() const
    {
        return call_override::Slot<Entry>::failures;
    }

private:
    Table& table_;
    const Table real_;
    std::vector<void (*)()> overridden_;
    static inline bool active_ = false;
};
