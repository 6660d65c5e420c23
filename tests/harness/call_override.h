// A scoped override of a table of system calls: a struct whose members are pointers to WINAPI
// functions, such as platform/system_calls.h's. While a CallOverride lives, a test can make the
// Nth call of one entry fail with a chosen result and last error, hand an entry to a fake of its
// own (which still reaches the real call through Real()), and count the calls an entry got.
// When it ends, the table holds again what it held before.
//
//   CallOverride<SystemCalls> calls(systemCalls);
//   calls.Fail<&SystemCalls::ReadFile>(2, ERROR_OPERATION_ABORTED, FALSE);  // the second read
//   calls.Fake<&SystemCalls::CloseHandle>([&](HANDLE handle) { ...; return calls.Real().CloseHandle(handle); });
//   ... calls.Calls<&SystemCalls::ReadFile>() ...
//
// An entry's state is shared by the whole program: one override of a table at a time, and the
// calls it watches made from one thread at a time.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <type_traits>
#include <vector>

namespace call_override {

template <typename Member>
struct MemberOf;
template <typename Table, typename Function>
struct MemberOf<Function Table::*> {
    using TableType = Table;
    using FunctionType = Function;
};

// What stands in the table for one entry while it is overridden: a function of the entry's exact
// type that counts the call, then fails it, gives it to the fake, or passes it on.
template <auto Entry, typename Function = typename MemberOf<decltype(Entry)>::FunctionType>
struct Slot;

template <auto Entry, typename Result, typename... Arguments>
struct Slot<Entry, Result(WINAPI*)(Arguments...)> {
    using ResultType = Result;
    static inline Result(WINAPI* real)(Arguments...) = nullptr;  // null while not overridden
    static inline std::function<Result(Arguments...)> fake;
    static inline int calls = 0;
    static inline int failures = 0;
    static inline int failingCall = 0;  // the count of the call that fails; 0 for none
    static inline bool failLater = false;
    static inline DWORD failureError = 0;
    static inline Result failureResult{};

    static Result WINAPI Call(Arguments... arguments)
    {
        ++calls;
        bool fails = failingCall != 0 && (calls == failingCall || (failLater && calls > failingCall));
        if (fails) {
            ++failures;
            SetLastError(failureError);
            return failureResult;
        }
        if (fake) return fake(arguments...);
        return real(arguments...);
    }

    static void Reset()
    {
        real = nullptr;
        fake = nullptr;
        calls = failures = failingCall = 0;
        failLater = false;
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

    // Counts the entry's calls from now on and passes them on.
    template <auto Entry>
    void Watch()
    {
        Install<Entry>();
    }

    // Every call of the entry goes to `fake` from now on, unless Fail makes it fail first.
    template <auto Entry, typename Replacement>
    void Fake(Replacement fake)
    {
        Install<Entry>();
        call_override::Slot<Entry>::fake = fake;
    }

    // The nth call of the entry from now on (1: the next one) returns `result` with `error` as
    // the thread's last error, and reaches neither the fake nor the real call; with
    // `andLater`, so does every call after it.
    template <auto Entry>
    void Fail(int nth, DWORD error, typename call_override::Slot<Entry>::ResultType result, bool andLater = false)
    {
        using Slot = call_override::Slot<Entry>;
        Install<Entry>();
        Slot::failingCall = Slot::calls + nth;
        Slot::failLater = andLater;
        Slot::failureError = error;
        Slot::failureResult = result;
    }

    // The calls the entry got, failed ones included, since it was first overridden.
    template <auto Entry>
    int Calls() const
    {
        if (call_override::Slot<Entry>::real == nullptr) ADD_FAILURE() << "calls counted of an entry not watched";
        return call_override::Slot<Entry>::calls;
    }

    // The calls Fail made fail.
    template <auto Entry>
    int Failures() const
    {
        return call_override::Slot<Entry>::failures;
    }

private:
    template <auto Entry>
    void Install()
    {
        using Slot = call_override::Slot<Entry>;
        static_assert(std::is_same_v<typename call_override::MemberOf<decltype(Entry)>::TableType, Table>,
                      "an entry of another table");
        if (Slot::real != nullptr) return;
        Slot::real = real_.*Entry;
        table_.*Entry = &Slot::Call;
        overridden_.push_back(&Slot::Reset);
    }

    Table& table_;
    const Table real_;
    std::vector<void (*)()> overridden_;
    static inline bool active_ = false;
};
