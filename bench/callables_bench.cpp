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
//   Dispatch.TwoLevel/os        a type dispatcher holding the copied id dispatcher, as the
//                               game-server client holds the minimap's
//   Dispatch.TwoLevel/std_function  two hash maps of std::function, called in place
//   Dispatch.TwoLevel/switch    two nested switches and a direct call
#include <benchmark/benchmark.h>

#include <algorithm>
#include <boost/function.hpp>
#include <boost/signals2/signal.hpp>
#include <functional>
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

void FunctionConstructOs(benchmark::State& state) {
    Subscriber s;
    for (auto _ : state) {
        OsSlot f = os::bind(&Subscriber::OnSignal, &s);
        benchmark::DoNotOptimize(f);
    }
}

void FunctionConstructStd(benchmark::State& state) {
    Subscriber s;
    for (auto _ : state) {
        std::function<void()> f = os::bind(&Subscriber::OnSignal, &s);
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

void FunctionConstructBoost(benchmark::State& state) {
    Subscriber s;
    for (auto _ : state) {
        boost::function<void()> f = os::bind(&Subscriber::OnSignal, &s);
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

void FunctionCopyOs(benchmark::State& state) {
    Subscriber s;
    CopyLoop(state, OsSlot(os::bind(&Subscriber::OnSignal, &s)));
}

void FunctionCopyStd(benchmark::State& state) {
    Subscriber s;
    CopyLoop(state, std::function<void()>(os::bind(&Subscriber::OnSignal, &s)));
}

void FunctionCopyStdInline(benchmark::State& state) {
    Subscriber s;
    CopyLoop(state, std::function<void()>([p = &s] { p->OnSignal(); }));
}

void FunctionCopyBoost(benchmark::State& state) {
    Subscriber s;
    CopyLoop(state, boost::function<void()>(os::bind(&Subscriber::OnSignal, &s)));
}

template <class F>
void CallLoop(benchmark::State& state, F f) {
    benchmark::DoNotOptimize(f);
    for (auto _ : state) {
        f();
    }
}

void FunctionCallOs(benchmark::State& state) {
    Subscriber s;
    CallLoop(state, OsSlot(os::bind(&Subscriber::OnSignal, &s)));
}

void FunctionCallStd(benchmark::State& state) {
    Subscriber s;
    CallLoop(state, std::function<void()>(os::bind(&Subscriber::OnSignal, &s)));
}

void FunctionCallStdInline(benchmark::State& state) {
    Subscriber s;
    CallLoop(state, std::function<void()>([p = &s] { p->OnSignal(); }));
}

void FunctionCallBoost(benchmark::State& state) {
    Subscriber s;
    CallLoop(state, boost::function<void()>(os::bind(&Subscriber::OnSignal, &s)));
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

// Each slot binds a subscriber of its own, so that every slot is a distinct binding.
struct Subscribers {
    explicit Subscribers(std::size_t n) : items(n) {}
    std::vector<Subscriber> items;
};

template <std::size_t N>
void SignalEmitOs(benchmark::State& state) {
    Subscribers subs(N);
    OsSignal signal;
    for (Subscriber& s : subs.items) {
        signal.Connect(os::bind(&Subscriber::OnSignal, &s));
    }
    for (auto _ : state) {
        signal.Emit();
    }
}

template <std::size_t N>
void SignalEmitSignals2(benchmark::State& state) {
    Subscribers subs(N);
    boost::signals2::signal<void()> signal;
    for (Subscriber& s : subs.items) {
        signal.connect(os::bind(&Subscriber::OnSignal, &s));
    }
    for (auto _ : state) {
        signal();
    }
}

template <std::size_t N>
void SignalEmitVector(benchmark::State& state) {
    Subscribers subs(N);
    std::vector<std::function<void()>> slots;
    for (Subscriber& s : subs.items) {
        slots.emplace_back(os::bind(&Subscriber::OnSignal, &s));
    }
    benchmark::DoNotOptimize(slots);
    for (auto _ : state) {
        for (const auto& slot : slots) {
            slot();
        }
    }
}

template <std::size_t N>
void SignalConnectDisconnectOs(benchmark::State& state) {
    Subscribers subs(N);
    OsSignal signal;
    for (Subscriber& s : subs.items) {
        signal.Connect(os::bind(&Subscriber::OnSignal, &s));
    }
    Subscriber extra;
    for (auto _ : state) {
        benchmark::DoNotOptimize(signal.Connect(os::bind(&Subscriber::OnSignal, &extra)));
        signal.Disconnect(os::bind(&Subscriber::OnSignal, &extra));
    }
}

template <std::size_t N>
void SignalConnectDisconnectSignals2(benchmark::State& state) {
    Subscribers subs(N);
    boost::signals2::signal<void()> signal;
    for (Subscriber& s : subs.items) {
        signal.connect(os::bind(&Subscriber::OnSignal, &s));
    }
    Subscriber extra;
    // signals2 has no duplicate check; a connection handle disconnects.
    for (auto _ : state) {
        boost::signals2::connection c = signal.connect(os::bind(&Subscriber::OnSignal, &extra));
        c.disconnect();
    }
}

template <std::size_t N>
void SignalConnectDisconnectVector(benchmark::State& state) {
    Subscribers subs(N);
    std::vector<std::function<void()>> slots;
    for (Subscriber& s : subs.items) {
        slots.emplace_back(os::bind(&Subscriber::OnSignal, &s));
    }
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

BENCHMARK(FunctionConstructOs)->Name("Function.Construct/os");
BENCHMARK(FunctionConstructStd)->Name("Function.Construct/std_function");
BENCHMARK(FunctionConstructStdInline)->Name("Function.Construct/std_function_inline");
BENCHMARK(FunctionConstructBoost)->Name("Function.Construct/boost_function");
BENCHMARK(FunctionCopyOs)->Name("Function.Copy/os");
BENCHMARK(FunctionCopyStd)->Name("Function.Copy/std_function");
BENCHMARK(FunctionCopyStdInline)->Name("Function.Copy/std_function_inline");
BENCHMARK(FunctionCopyBoost)->Name("Function.Copy/boost_function");
BENCHMARK(FunctionCallOs)->Name("Function.Call/os");
BENCHMARK(FunctionCallStd)->Name("Function.Call/std_function");
BENCHMARK(FunctionCallStdInline)->Name("Function.Call/std_function_inline");
BENCHMARK(FunctionCallBoost)->Name("Function.Call/boost_function");
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
