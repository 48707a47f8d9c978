// os::Function, os::Signal and DispatcherBase beside the designs a reader would compare them
// with, all over the same bound member functions:
//
//   Function.<op>/os            os::Function over os::bind
//   Function.<op>/std_function  std::function over the same binding (24 bytes: on the heap)
//   Function.<op>/std_function_inline
//                               std::function over a lambda holding one pointer, which fits
//                               its inline buffer: the copy a small-object buffer buys
//   Function.<op>/boost_function
//   Signal.Emit.<n>/os          os::Signal with n slots (a snapshot copy per emission)
//   Signal.Emit.<n>/signals2    boost::signals2::signal<void()>
//   Signal.Emit.<n>/std_vector  a loop over std::vector<std::function<void()>>
//   Signal.ConnectDisconnect.<n>/...  connect with the duplicate check, then disconnect, with
//                               n other slots connected
//   Dispatch.TwoLevel/os        a type dispatcher holding a copy of an id dispatcher, the
//                               library's way of registering one dispatcher in another
//   Dispatch.TwoLevel/std_function  two hash maps of std::function, called in place
//   Dispatch.TwoLevel/switch    two nested switches and a direct call
#include <benchmark/benchmark.h>

#include <algorithm>
#include <boost/function.hpp>
#include <boost/signals2/signal.hpp>
#include <functional>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "function/Bind.h"
#include "function/Function.h"
#include "function/Signal.h"
#include "net/ISender.h"
#include "net/NetMsg.h"
#include "net/NetMsgDispatcher.h"

namespace {

// Out of line, so that every design pays the same call into the target.
struct Subscriber {
    long count = 0;
    __attribute__((noinline)) void OnSignal() { benchmark::DoNotOptimize(++count); }
    __attribute__((noinline)) void OnMessage(ISender*, const NetMsg*) {
        benchmark::DoNotOptimize(++count);
    }
};

using Binding = os::bind_n::bind_n_t<void (Subscriber::*)()>;
using OsSlot = os::Function<void()>;
using OsSignal = os::Signal<void(), os::LastValue<void>>;

// ---- Function ---------------------------------------------------------------------------

// The functions each design is measured over: F over os::bind, and std::function over a lambda
// holding one pointer (which fits its inline buffer).
template <class F>
struct Bound {
    F operator()(Subscriber& s) const { return F(os::bind(&Subscriber::OnSignal, &s)); }
};
struct StdInline {
    std::function<void()> operator()(Subscriber& s) const {
        return [p = &s] { p->OnSignal(); };
    }
};

template <class F>
void FunctionConstruct(benchmark::State& state) {
    Subscriber s;
    for (auto _ : state) {
        F f = os::bind(&Subscriber::OnSignal, &s);
        benchmark::DoNotOptimize(f);
    }
}

void FunctionConstructStdInline(benchmark::State& state) {
    Subscriber s;
    for (auto _ : state) {
        std::function<void()> f = [p = &s] { p->OnSignal(); };
        benchmark::DoNotOptimize(f);
    }
}

// A copy and its destruction: what a dispatch or an emission does with each function.
template <class F>
void CopyLoop(benchmark::State& state, const F& source) {
    for (auto _ : state) {
        F copy(source);
        benchmark::DoNotOptimize(copy);
    }
}

template <class F>
void CallLoop(benchmark::State& state, F f) {
    benchmark::DoNotOptimize(f);
    for (auto _ : state) {
        f();
    }
}

template <class Make>
void FunctionCopy(benchmark::State& state) {
    Subscriber s;
    CopyLoop(state, Make()(s));
}

template <class Make>
void FunctionCall(benchmark::State& state) {
    Subscriber s;
    CallLoop(state, Make()(s));
}

// Equality of two separately made functions over the same binding: the signal's duplicate
// check. std::function has no equality; its baseline compares the targets it can recover.
void FunctionEqualsOs(benchmark::State& state) {
    Subscriber s;
    const OsSlot a = os::bind(&Subscriber::OnSignal, &s);
    const OsSlot b = os::bind(&Subscriber::OnSignal, &s);
    for (auto _ : state) {
        benchmark::DoNotOptimize(a == b);
    }
}

void FunctionEqualsStd(benchmark::State& state) {
    Subscriber s;
    const std::function<void()> a = os::bind(&Subscriber::OnSignal, &s);
    const std::function<void()> b = os::bind(&Subscriber::OnSignal, &s);
    benchmark::DoNotOptimize(a);
    benchmark::DoNotOptimize(b);
    for (auto _ : state) {
        const Binding* x = a.target<Binding>();
        const Binding* y = b.target<Binding>();
        benchmark::DoNotOptimize(x != nullptr && y != nullptr && *x == *y);
    }
}

void FunctionEqualsBoost(benchmark::State& state) {
    Subscriber s;
    const boost::function<void()> a = os::bind(&Subscriber::OnSignal, &s);
    const Binding b = os::bind(&Subscriber::OnSignal, &s);
    benchmark::DoNotOptimize(a);
    for (auto _ : state) {
        benchmark::DoNotOptimize(a == b);
    }
}

// ---- Signal -----------------------------------------------------------------------------

using Signals2 = boost::signals2::signal<void()>;
using SlotVector = std::vector<std::function<void()>>;

// Connects to `slots` one slot for each of `subs`, each bound to its own subscriber, so that
// every slot is a distinct binding.
template <class Slots>
void ConnectEach(std::vector<Subscriber>& subs, Slots& slots) {
    for (Subscriber& s : subs) {
        const Binding binding = os::bind(&Subscriber::OnSignal, &s);
        if constexpr (std::is_same_v<Slots, OsSignal>) {
            slots.Connect(binding);
        } else if constexpr (std::is_same_v<Slots, Signals2>) {
            slots.connect(binding);
        } else {
            slots.emplace_back(binding);
        }
    }
}

template <std::size_t N>
void SignalEmitOs(benchmark::State& state) {
    std::vector<Subscriber> subs(N);
    OsSignal signal;
    ConnectEach(subs, signal);
    for (auto _ : state) {
        signal.Emit();
    }
}

template <std::size_t N>
void SignalEmitSignals2(benchmark::State& state) {
    std::vector<Subscriber> subs(N);
    Signals2 signal;
    ConnectEach(subs, signal);
    for (auto _ : state) {
        signal();
    }
}

template <std::size_t N>
void SignalEmitVector(benchmark::State& state) {
    std::vector<Subscriber> subs(N);
    SlotVector slots;
    ConnectEach(subs, slots);
    benchmark::DoNotOptimize(slots);
    for (auto _ : state) {
        for (const auto& slot : slots) {
            slot();
        }
    }
}

template <std::size_t N>
void SignalConnectDisconnectOs(benchmark::State& state) {
    std::vector<Subscriber> subs(N);
    OsSignal signal;
    ConnectEach(subs, signal);
    Subscriber extra;
    for (auto _ : state) {
        benchmark::DoNotOptimize(signal.Connect(os::bind(&Subscriber::OnSignal, &extra)));
        signal.Disconnect(os::bind(&Subscriber::OnSignal, &extra));
    }
}

template <std::size_t N>
void SignalConnectDisconnectSignals2(benchmark::State& state) {
    std::vector<Subscriber> subs(N);
    Signals2 signal;
    ConnectEach(subs, signal);
    Subscriber extra;
    // signals2 has no duplicate check; a connection handle disconnects.
    for (auto _ : state) {
        boost::signals2::connection c = signal.connect(os::bind(&Subscriber::OnSignal, &extra));
        c.disconnect();
    }
}

template <std::size_t N>
void SignalConnectDisconnectVector(benchmark::State& state) {
    std::vector<Subscriber> subs(N);
    SlotVector slots;
    ConnectEach(subs, slots);
    Subscriber extra;
    const auto same = [](const Binding& b) {
        return [b](const std::function<void()>& f) {
            const Binding* t = f.target<Binding>();
            return t != nullptr && *t == b;
        };
    };
    for (auto _ : state) {
        const Binding b = os::bind(&Subscriber::OnSignal, &extra);
        if (std::find_if(slots.begin(), slots.end(), same(b)) == slots.end()) {
            slots.emplace_back(b);
        }
        const auto it = std::find_if(slots.begin(), slots.end(), same(b));
        if (it != slots.end()) {
            slots.erase(it);
        }
    }
}

// ---- Dispatcher -------------------------------------------------------------------------

class Sender : public ISender {};

// One parsed message of type 32, identifier 254, with one 4-byte chunk.
struct OneMessage {
    OneMessage() {
        NetMsg built(32, 254);
        const int op = 0;
        built.AddChunk(&op, sizeof(op), 0);
        ParseNetMsg(built.GetBytes(), built.GetLength(), received);
    }
    const NetMsg* Get() const { return received.Get(); }
    ReceivedNetMsg received;
};

void DispatchTwoLevelOs(benchmark::State& state) {
    Subscriber s;
    Sender sender;
    OneMessage message;
    NetMsgIdDispatcher ids;
    ids.Register(254, os::bind(&Subscriber::OnMessage, &s));
    NetMsgTypeDispatcher types;
    types.Register(32, NetMsgHandler(ids));
    const NetMsg* msg = message.Get();
    for (auto _ : state) {
        types(&sender, msg);
    }
}

void DispatchTwoLevelStd(benchmark::State& state) {
    using Handler = std::function<void(ISender*, const NetMsg*)>;
    Subscriber s;
    Sender sender;
    OneMessage message;
    std::unordered_map<unsigned short, Handler> ids;
    ids.emplace(254, [p = &s](ISender* from, const NetMsg* m) { p->OnMessage(from, m); });
    std::unordered_map<unsigned short, Handler> types;
    types.emplace(32, [t = &ids](ISender* from, const NetMsg* m) {
        const auto it = t->find(m->GetMsgID());
        if (it != t->end()) {
            it->second(from, m);
        }
    });
    const NetMsg* msg = message.Get();
    for (auto _ : state) {
        const auto it = types.find(msg->GetMsgType());
        if (it != types.end()) {
            it->second(&sender, msg);
        }
    }
}

void DispatchTwoLevelSwitch(benchmark::State& state) {
    Subscriber s;
    Sender sender;
    OneMessage message;
    const NetMsg* msg = message.Get();
    benchmark::DoNotOptimize(msg);
    for (auto _ : state) {
        switch (msg->GetMsgType()) {
            case 32:
                switch (msg->GetMsgID()) {
                    case 254:
                        s.OnMessage(&sender, msg);
                        break;
                    default:
                        break;
                }
                break;
            default:
                break;
        }
    }
}

}  // namespace

BENCHMARK_TEMPLATE(FunctionConstruct, OsSlot)->Name("Function.Construct/os");
BENCHMARK_TEMPLATE(FunctionConstruct, std::function<void()>)
    ->Name("Function.Construct/std_function");
BENCHMARK(FunctionConstructStdInline)->Name("Function.Construct/std_function_inline");
BENCHMARK_TEMPLATE(FunctionConstruct, boost::function<void()>)
    ->Name("Function.Construct/boost_function");
BENCHMARK_TEMPLATE(FunctionCopy, Bound<OsSlot>)->Name("Function.Copy/os");
BENCHMARK_TEMPLATE(FunctionCopy, Bound<std::function<void()>>)->Name("Function.Copy/std_function");
BENCHMARK_TEMPLATE(FunctionCopy, StdInline)->Name("Function.Copy/std_function_inline");
BENCHMARK_TEMPLATE(FunctionCopy, Bound<boost::function<void()>>)
    ->Name("Function.Copy/boost_function");
BENCHMARK_TEMPLATE(FunctionCall, Bound<OsSlot>)->Name("Function.Call/os");
BENCHMARK_TEMPLATE(FunctionCall, Bound<std::function<void()>>)->Name("Function.Call/std_function");
BENCHMARK_TEMPLATE(FunctionCall, StdInline)->Name("Function.Call/std_function_inline");
BENCHMARK_TEMPLATE(FunctionCall, Bound<boost::function<void()>>)
    ->Name("Function.Call/boost_function");
BENCHMARK(FunctionEqualsOs)->Name("Function.Equals/os");
BENCHMARK(FunctionEqualsStd)->Name("Function.Equals/std_function");
BENCHMARK(FunctionEqualsBoost)->Name("Function.Equals/boost_function");

BENCHMARK_TEMPLATE(SignalEmitOs, 1)->Name("Signal.Emit.1/os");
BENCHMARK_TEMPLATE(SignalEmitSignals2, 1)->Name("Signal.Emit.1/signals2");
BENCHMARK_TEMPLATE(SignalEmitVector, 1)->Name("Signal.Emit.1/std_vector");
BENCHMARK_TEMPLATE(SignalEmitOs, 4)->Name("Signal.Emit.4/os");
BENCHMARK_TEMPLATE(SignalEmitSignals2, 4)->Name("Signal.Emit.4/signals2");
BENCHMARK_TEMPLATE(SignalEmitVector, 4)->Name("Signal.Emit.4/std_vector");
BENCHMARK_TEMPLATE(SignalEmitOs, 16)->Name("Signal.Emit.16/os");
BENCHMARK_TEMPLATE(SignalEmitSignals2, 16)->Name("Signal.Emit.16/signals2");
BENCHMARK_TEMPLATE(SignalEmitVector, 16)->Name("Signal.Emit.16/std_vector");
BENCHMARK_TEMPLATE(SignalConnectDisconnectOs, 4)->Name("Signal.ConnectDisconnect.4/os");
BENCHMARK_TEMPLATE(SignalConnectDisconnectSignals2, 4)->Name("Signal.ConnectDisconnect.4/signals2");
BENCHMARK_TEMPLATE(SignalConnectDisconnectVector, 4)->Name("Signal.ConnectDisconnect.4/std_vector");

BENCHMARK(DispatchTwoLevelOs)->Name("Dispatch.TwoLevel/os");
BENCHMARK(DispatchTwoLevelStd)->Name("Dispatch.TwoLevel/std_function");
BENCHMARK(DispatchTwoLevelSwitch)->Name("Dispatch.TwoLevel/switch");

BENCHMARK_MAIN();
