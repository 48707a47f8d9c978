#include "function/Function.h"

#include <gtest/gtest.h>

#include <typeinfo>
#include <utility>

#include "function/Bind.h"
#include "net/NetMsg.h"
#include "net/NetMsgDispatcher.h"

namespace {

struct Counter {
    int value = 0;
    int other = 0;
    void Increment() { ++value; }
    void IncrementOther() { ++other; }
    void Handle(ISender*, const NetMsg*) { ++value; }
};

TEST(Function, EmptyFunctionDoesNothingAndEqualsOnlyAnEmptyFunction) {
    Counter c;
    const os::Function<void()> empty;
    const os::Function<void()> alsoEmpty;
    const os::Function<void()> bound = os::bind(&Counter::Increment, &c);

    EXPECT_TRUE(empty.IsEmpty());
    empty();
    EXPECT_TRUE(empty == alsoEmpty);
    EXPECT_FALSE(empty == bound);
    EXPECT_FALSE(bound == empty);
    EXPECT_EQ(c.value, 0);
}

TEST(Function, SeparateBindingsOfTheSameMemberAndObjectAreEqual) {
    Counter c;
    Counter d;
    const os::Function<void()> first = os::bind(&Counter::Increment, &c);
    const os::Function<void()> second = os::bind(&Counter::Increment, &c);

    EXPECT_TRUE(first == second);
    EXPECT_FALSE(first == os::Function<void()>(os::bind(&Counter::Increment, &d)));
    EXPECT_FALSE(first == os::Function<void()>(os::bind(&Counter::IncrementOther, &c)));
}

TEST(Function, BindingAndDispatcherOfTheSameSignatureAreNeverEqual) {
    Counter c;
    NetMsgIdDispatcher dispatcher;
    dispatcher.Register(254, os::bind(&Counter::Handle, &c));
    const NetMsgHandler viaBind = os::bind(&Counter::Handle, &c);
    const NetMsgHandler viaDispatcher = dispatcher;
    const NetMsgHandler emptyDispatcher = NetMsgIdDispatcher();

    EXPECT_FALSE(viaBind == viaDispatcher);
    EXPECT_FALSE(viaDispatcher == viaBind);
    EXPECT_FALSE(viaBind == emptyDispatcher);
}

TEST(Function, CopyIsEqualAndIndependentOfItsSource) {
    Counter c;
    const os::Function<void()> empty;
    const os::Function<void()> emptyCopy(empty);
    EXPECT_TRUE(emptyCopy.IsEmpty());

    os::Function<void()> source = os::bind(&Counter::Increment, &c);
    os::Function<void()> copy(source);
    EXPECT_TRUE(copy == source);
    EXPECT_NE(copy.GetInvoker(), source.GetInvoker());

    copy.Reset();
    source();
    EXPECT_EQ(c.value, 1);

    os::Function<void()> assigned;
    assigned = source;
    source.Reset();
    assigned();
    EXPECT_EQ(c.value, 2);
}

TEST(Function, SelfAssignmentLeavesTheFunctionCallable) {
    Counter c;
    os::Function<void()> f = os::bind(&Counter::Increment, &c);
    os::Function<void()>& alias = f;

    f = alias;
    f();
    f = std::move(alias);
    f();

    EXPECT_EQ(c.value, 2);
    EXPECT_TRUE(f == os::Function<void()>(os::bind(&Counter::Increment, &c)));
}

// A callable that holds a function of its own.
struct Holder {
    os::Function<void()> inner;
    void operator()() const { inner(); }
};

TEST(Function, AssigningAFunctionThatItsOwnCallableHoldsKeepsTheSourceAlive) {
    Counter c;
    os::Function<void()> f = Holder{os::bind(&Counter::Increment, &c)};
    using Impl = os::function::InvokerImpl<Holder, void()>;
    ASSERT_EQ(f.GetInvoker()->GetTypeInfo(), typeid(Impl));
    const os::Function<void()>& inner = static_cast<const Impl*>(f.GetInvoker())->Target().inner;

    // The source lives inside the invoker that the assignment replaces.
    f = inner;
    f();

    EXPECT_EQ(c.value, 1);
    EXPECT_TRUE(f == os::Function<void()>(os::bind(&Counter::Increment, &c)));
}

TEST(Function, MovingLeavesTheSourceEmpty) {
    Counter c;
    os::Function<void()> source = os::bind(&Counter::Increment, &c);
    os::Function<void()> target(std::move(source));

    EXPECT_TRUE(source.IsEmpty());  // NOLINT(bugprone-use-after-move): the state is specified
    target();
    EXPECT_EQ(c.value, 1);
}

// An argument type that counts its copies, like a timer identifier passed by value.
struct Token {
    static inline int live = 0;
    int serial;

    explicit Token(int s) : serial(s) { ++live; }
    Token(const Token& other) : serial(other.serial) { ++live; }
    ~Token() { --live; }
    Token& operator=(const Token&) = default;
};

struct TokenReader {
    int seenSerial = 0;
    int liveDuringCall = 0;
    const Token* seenAddress = nullptr;

    void Read(Token token) {
        seenSerial = token.serial;
        seenAddress = &token;
        liveDuringCall = Token::live;
    }
};

TEST(Function, ByValueArgumentIsACopyThatIsDestroyedWhenTheCallReturns) {
    TokenReader reader;
    const os::Function<void(Token)> f = os::bind(&TokenReader::Read, &reader);
    {
        const Token token(42);
        ASSERT_EQ(Token::live, 1);

        f(token);

        EXPECT_EQ(reader.seenSerial, 42);
        EXPECT_NE(reader.seenAddress, &token);
        EXPECT_GT(reader.liveDuringCall, 1);  // the member function saw a copy
        EXPECT_EQ(Token::live, 1);            // every copy is gone once the call returned
    }
    EXPECT_EQ(Token::live, 0);
}

// A stateless creator, like the string table's: equal as soon as the types match.
struct Creator {
    static inline int made = 0;
    void* operator()() const {
        ++made;
        return &made;
    }
};

struct OtherCreator {
    void* operator()() const { return nullptr; }
};

TEST(Function, StatelessCreatorsOfTheSameTypeAreEqualAndReturnWhatTheyMake) {
    const os::Function<void*()> a = Creator();
    const os::Function<void*()> b = Creator();
    const os::Function<void*()> other = OtherCreator();

    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a == other);
    EXPECT_EQ(a(), &Creator::made);
    EXPECT_EQ(Creator::made, 1);
    EXPECT_EQ(os::Function<void*()>()(), nullptr);
}

TEST(Function, NonConstLvalueFunctionIsCopiedNotWrapped) {
    Counter c;
    os::Function<void()> source = os::bind(&Counter::Increment, &c);

    os::Function<void()> constructed(source);
    os::Function<void()> assigned;
    assigned = source;

    const std::type_info& held = source.GetInvoker()->GetTypeInfo();
    EXPECT_EQ(constructed.GetInvoker()->GetTypeInfo(), held);
    EXPECT_EQ(assigned.GetInvoker()->GetTypeInfo(), held);
    EXPECT_TRUE(constructed == source);
    EXPECT_TRUE(assigned == source);
}

}  // namespace
