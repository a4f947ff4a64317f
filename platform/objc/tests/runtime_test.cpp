#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/objc/Runtime.h"

namespace platform::objc {
namespace {

// A delegate with native state beside its runtime class.
class Recorder : public Object {
public:
    using Object::Object;
    std::vector<std::string> calls;
};

void record(Object* self, std::string what) { native<Recorder>(self)->calls.push_back(std::move(what)); }

class ObjcRuntime : public testing::Test {
protected:
    Runtime rt;
    Class* makeClass(const char* name, Class* super = nullptr) {
        return rt.registerClass(name, super ? super : rt.rootClass());
    }
};

TEST_F(ObjcRuntime, InterceptorRunsFirstThenOriginalThroughExchange) {
    const Selector active = sel("applicationDidBecomeActive:");
    const Selector hook = sel("hookApplicationDidBecomeActive:");
    Class* delegateClass =
        ClassBuilder(rt, "AppDelegate", rt.rootClass())
            .method(active,
                    makeImp([](Object* self, Selector, int app) { record(self, "app " + std::to_string(app)); }))
            .registerClass();
    ASSERT_NE(delegateClass, nullptr);
    Imp interceptor = makeImp([](Object* self, Selector, int app) {
        record(self, "hook");
        // After the exchange the hook's own selector reaches the original.
        if (respondsToSelector(self, sel("hookApplicationDidBecomeActive:")))
            send<void>(self, sel("hookApplicationDidBecomeActive:"), app);
    });
    ASSERT_TRUE(rt.addMethod(delegateClass, hook, interceptor));
    ASSERT_TRUE(rt.exchangeImplementations(delegateClass, active, hook));

    auto delegate = std::make_shared<Recorder>(delegateClass);
    send<void>(delegate, active, 7);
    EXPECT_EQ(delegate->calls, (std::vector<std::string>{"hook", "app 7"}));

    // A class without the method gets the interceptor under the system selector and no original.
    Class* bare = makeClass("BareDelegate");
    ASSERT_TRUE(rt.addMethod(bare, active, interceptor));
    auto other = std::make_shared<Recorder>(bare);
    send<void>(other, active, 1);
    EXPECT_EQ(other->calls, (std::vector<std::string>{"hook"}));
}

TEST_F(ObjcRuntime, SavedOriginalFromReplaceIsCallableDirectly) {
    const Selector name = sel("value");
    Class* cls = ClassBuilder(rt, "Thing", rt.rootClass())
                     .method(name, makeImp([](Object*, Selector) { return 10; }))
                     .registerClass();
    auto original = std::make_shared<Imp>();
    *original = rt.replaceMethod(
        cls, name, makeImp([original](Object* self, Selector cmd) { return callImp<int>(*original, self, cmd) + 1; }));
    ASSERT_NE(*original, nullptr);
    auto thing = std::make_shared<Object>(cls);
    EXPECT_EQ(send<int>(thing, name), 11);
    // Replacing a method the class lacked adds it and answers no previous implementation.
    EXPECT_EQ(rt.replaceMethod(cls, sel("other"), makeImp([](Object*, Selector) { return 1; })), nullptr);
    EXPECT_EQ(callImp<int>(nullptr, thing.get(), name), 0);
    *original = nullptr;  // break the cycle through the lambda
}

TEST_F(ObjcRuntime, ExchangeOfInheritedMethodLeavesSuperclassAndSiblingsAlone) {
    const Selector greet = sel("greet");
    const Selector hook = sel("hookGreet");
    Class* base = ClassBuilder(rt, "Base", rt.rootClass())
                      .method(greet, makeImp([](Object*, Selector) { return std::string("base"); }))
                      .registerClass();
    Class* child = makeClass("Child", base);
    Class* sibling = makeClass("Sibling", base);
    ASSERT_TRUE(rt.addMethod(child, hook, makeImp([](Object* self, Selector) {
                                 return "hooked+" + send<std::string>(self, sel("hookGreet"));
                             })));
    ASSERT_TRUE(rt.exchangeImplementations(child, greet, hook));

    EXPECT_EQ(send<std::string>(std::make_shared<Object>(child), greet), "hooked+base");
    EXPECT_EQ(send<std::string>(std::make_shared<Object>(base), greet), "base");
    EXPECT_EQ(send<std::string>(std::make_shared<Object>(sibling), greet), "base");
    EXPECT_EQ(rt.methodList(base).size(), 1u);
    EXPECT_EQ(rt.instanceMethod(child, greet)->owner, child);
    EXPECT_FALSE(rt.exchangeImplementations(child, greet, sel("missing")));
}

TEST_F(ObjcRuntime, AddMethodOverridesInheritedButNotOwn) {
    const Selector name = sel("answer");
    Class* base = ClassBuilder(rt, "Base", rt.rootClass())
                      .method(name, makeImp([](Object*, Selector) { return 1; }))
                      .registerClass();
    Class* child = makeClass("Child", base);
    EXPECT_TRUE(rt.addMethod(child, name, makeImp([](Object*, Selector) { return 2; })));
    EXPECT_FALSE(rt.addMethod(child, name, makeImp([](Object*, Selector) { return 3; })));
    EXPECT_FALSE(rt.addMethod(base, name, makeImp([](Object*, Selector) { return 4; })));
    EXPECT_EQ(send<int>(std::make_shared<Object>(child), name), 2);
    EXPECT_EQ(send<int>(std::make_shared<Object>(base), name), 1);
}

// A live delegate switched to a runtime subclass whose override calls the original class's code.
TEST_F(ObjcRuntime, RuntimeSubclassOfLiveObject) {
    const Selector openURL = sel("application:openURL:");
    Class* original = ClassBuilder(rt, "AppDelegate", rt.rootClass())
                          .method(openURL, makeImp([](Object* self, Selector, std::string url) {
                                      record(self, "app " + url);
                                      return false;
                                  }))
                          .registerClass();
    auto delegate = std::make_shared<Recorder>(original);

    Class* sub = rt.allocateClassPair(classOf(delegate.get()), "ZUT_AppDelegate-1");
    ASSERT_NE(sub, nullptr);
    EXPECT_EQ(rt.allocateClassPair(original, "ZUT_AppDelegate-1"), nullptr) << "pending names are taken";
    EXPECT_EQ(rt.lookUpClass("ZUT_AppDelegate-1"), nullptr) << "not registered yet";
    ASSERT_TRUE(rt.addMethod(sub, openURL, makeImp([sub](Object* self, Selector cmd, std::string url) {
                                 record(self, "interceptor");
                                 bool handled = sendSuper<bool>(self, sub, cmd, url);
                                 return handled || url == "app://mine";
                             })));
    ASSERT_TRUE(rt.addMethod(sub, sel("description"), makeImp([](Object* self, Selector) {
                                 auto real = self->associatedValueAs<Class*>(AssociationKey::named("ZUT_realClass"));
                                 return "<" + (real ? (*real)->name() : std::string("?")) + ">";
                             })));
    delegate->setAssociatedValue(AssociationKey::named("ZUT_realClass"), original);
    EXPECT_EQ(sub->instanceSize(), original->instanceSize());
    rt.registerClassPair(sub);
    EXPECT_EQ(setClass(delegate.get(), sub), original);

    EXPECT_TRUE(send<bool>(delegate, openURL, std::string("app://mine")));
    EXPECT_FALSE(send<bool>(delegate, openURL, std::string("https://other")));
    EXPECT_EQ(delegate->calls,
              (std::vector<std::string>{"interceptor", "app app://mine", "interceptor", "app https://other"}));
    EXPECT_EQ(send<std::string>(delegate, sel("description")), "<AppDelegate>");
    EXPECT_EQ(rt.lookUpClass("ZUT_AppDelegate-1"), sub);
    EXPECT_TRUE(isKindOfClass(delegate.get(), original));
    EXPECT_TRUE(send<bool>(delegate, sel("isKindOfClass:"), original));
    EXPECT_FALSE(send<bool>(delegate, sel("isMemberOfClass:"), original));

    // A class with a live instance is not disposed; once the object is gone it is.
    EXPECT_FALSE(rt.disposeClassPair(sub));
    delegate.reset();
    EXPECT_TRUE(rt.disposeClassPair(sub));
    EXPECT_EQ(rt.lookUpClass("ZUT_AppDelegate-1"), nullptr);
}

TEST_F(ObjcRuntime, WeakReferencesAndAssociationsFollowTheObjectsLife) {
    Class* cls = makeClass("Thing");
    auto holder = std::make_shared<Object>(cls);
    auto value = std::make_shared<Object>(cls);
    Weak<Object> weakValue = value;
    Weak<Object> weakHolder = holder;
    const int weakKey = 0;
    holder->setAssociatedObject(AssociationKey::named("strong"), value, AssociationPolicy::RetainNonatomic);
    holder->setAssociatedObject(&weakKey, value, AssociationPolicy::Assign);

    value.reset();
    ASSERT_NE(weakValue.lock(), nullptr) << "the retained association keeps it alive";
    EXPECT_EQ(holder->associatedObject(&weakKey), weakValue.lock());

    holder->setAssociatedObject(AssociationKey::named("strong"), nullptr, AssociationPolicy::Retain);
    EXPECT_TRUE(weakValue.expired());
    EXPECT_EQ(holder->associatedObject(&weakKey), nullptr) << "an assigned association never dangles";

    auto inner = std::make_shared<Object>(cls);
    Weak<Object> weakInner = inner;
    holder->setAssociatedObject(AssociationKey::named("strong"), std::move(inner), AssociationPolicy::Retain);
    holder.reset();
    EXPECT_EQ(weakHolder.lock(), nullptr);
    EXPECT_TRUE(weakInner.expired()) << "associations are released with their object";
}

TEST_F(ObjcRuntime, WrongSignatureIsRefusedCleanly) {
    const Selector name = sel("add:to:");
    Class* cls =
        ClassBuilder(rt, "Adder", rt.rootClass())
            .method(name, makeImp([](Object*, Selector, int a, const std::string& b) { return b + std::to_string(a); }))
            .registerClass();
    auto adder = std::make_shared<Object>(cls);
    EXPECT_EQ((send<std::string>(adder, name, 1, std::string("n"))), "n1");
    EXPECT_EQ((send<std::string, int, std::string>(adder, name, 2, "n")), "n2") << "explicit types convert";

    struct Case {
        const char* what;
        std::function<void()> call;
    };
    const Case cases[] = {
        {"wrong return type", [&] { send<int>(adder, name, 1, std::string("n")); }},
        {"wrong argument type", [&] { send<std::string>(adder, name, 1L, std::string("n")); }},
        {"literal is not a string", [&] { send<std::string>(adder, name, 1, "n"); }},
        {"missing argument", [&] { send<std::string>(adder, name, 1); }},
        {"extra argument", [&] { send<std::string>(adder, name, 1, std::string("n"), 2); }},
        {"direct call", [&] { callImp<void>(rt.methodImplementation(cls, name), adder.get(), name); }},
    };
    for (const auto& c : cases) EXPECT_THROW(c.call(), SignatureMismatch) << c.what;
    EXPECT_NE(rt.instanceMethod(cls, name)->typeEncoding().find("std::"), std::string::npos);
}

TEST_F(ObjcRuntime, NilReceiverAnswersZeroAndUnknownSelectorsThrow) {
    Object* nil = nullptr;
    EXPECT_EQ(send<int>(nil, sel("count")), 0);
    EXPECT_EQ(send<std::string>(nil, sel("name")), "");
    EXPECT_EQ(send<Object*>(nil, sel("delegate")), nullptr);
    EXPECT_NO_THROW(send<void>(nil, sel("anything:"), 1, 2.5));
    EXPECT_FALSE(respondsToSelector(nil, sel("count")));
    EXPECT_FALSE(send<bool>(std::shared_ptr<Object>(), sel("count")));

    Class* cls = makeClass("Widget");
    auto widget = std::make_shared<Object>(cls);
    try {
        send<void>(widget, sel("frobnicate:"), 1);
        FAIL() << "no exception";
    } catch (const UnrecognizedSelector& e) {
        EXPECT_EQ(std::string(e.what()).rfind("-[Widget frobnicate:]: unrecognized selector sent to instance 0x", 0),
                  0u)
            << e.what();
    }
    try {
        send<void>(cls, sel("frobnicate"));
        FAIL() << "no exception";
    } catch (const UnrecognizedSelector& e) {
        EXPECT_EQ(std::string(e.what()).rfind("+[Widget frobnicate]: unrecognized selector sent to class", 0), 0u)
            << e.what();
    }
}

TEST_F(ObjcRuntime, RespondsToSelectorOverrideIsHonoured) {
    const Selector hidden = sel("hidden");
    const Selector virtualSel = sel("virtual");
    Class* base =
        ClassBuilder(rt, "Base", rt.rootClass()).method(hidden, makeImp([](Object*, Selector) {})).registerClass();
    Class* picky = ClassBuilder(rt, "Picky", base)
                       .method(sel("respondsToSelector:"), makeImp([](Object* self, Selector cmd, Selector name) {
                                   if (name == sel("hidden")) return false;
                                   if (name == sel("virtual")) return true;
                                   return sendSuper<bool>(self, classOf(self), cmd, name);
                               }))
                       .registerClass();
    auto plain = std::make_shared<Object>(base);
    auto object = std::make_shared<Object>(picky);
    EXPECT_TRUE(respondsToSelector(plain, hidden));
    EXPECT_FALSE(respondsToSelector(object, hidden));
    EXPECT_TRUE(respondsToSelector(object, virtualSel));
    EXPECT_TRUE(respondsToSelector(object, sel("description")));
    EXPECT_FALSE(respondsToSelector(object, sel("nothing")));
    // The table itself is unchanged: only the answer is overridden.
    EXPECT_TRUE(rt.instancesRespondToSelector(picky, hidden));
    EXPECT_FALSE(rt.instancesRespondToSelector(picky, virtualSel));
}

TEST_F(ObjcRuntime, ClassMethodsAndClassObjectsAnswerRootMethods) {
    Class* facade = ClassBuilder(rt, "DOREdozadedo", rt.rootClass())
                        .classMethod(sel("startWithConfiguration:options:"),
                                     makeImp([](Object* self, Selector, int configuration, int options) {
                                         return configuration + options;
                                     }))
                        .registerClass();
    Class* found = rt.lookUpClass("DOREdozadedo");
    ASSERT_EQ(found, facade);
    EXPECT_TRUE(respondsToSelector(found, sel("startWithConfiguration:options:")));
    EXPECT_EQ((send<int>(found, sel("startWithConfiguration:options:"), 2, 3)), 5);
    EXPECT_FALSE(rt.instancesRespondToSelector(found, sel("startWithConfiguration:options:")));
    EXPECT_TRUE(send<bool>(found, sel("instancesRespondToSelector:"), sel("description")));
    EXPECT_EQ(send<Class*>(found, sel("class")), found);
    EXPECT_EQ(send<std::string>(found, sel("description")), "DOREdozadedo");
    EXPECT_TRUE(rt.classMethod(found, sel("instancesRespondToSelector:")).has_value());
    EXPECT_EQ(rt.lookUpClass("UNUserNotificationCenter"), nullptr);
}

TEST_F(ObjcRuntime, ProtocolConformanceIsInherited) {
    const Protocol* object = rt.registerProtocol("NSObject");
    const Protocol* delegate = rt.registerProtocol("UIApplicationDelegate", {object});
    const Protocol* other = rt.registerProtocol("UNUserNotificationCenterDelegate");
    EXPECT_EQ(rt.registerProtocol("UIApplicationDelegate"), nullptr);
    EXPECT_EQ(rt.lookUpProtocol("UIApplicationDelegate"), delegate);

    Class* base = ClassBuilder(rt, "Base", rt.rootClass()).protocol(delegate).registerClass();
    Class* child = makeClass("Child", base);
    Class* unrelated = makeClass("Unrelated");
    struct Case {
        Class* cls;
        const Protocol* protocol;
        bool conforms;
    };
    const Case cases[] = {
        {base, delegate, true},       {child, delegate, true}, {child, object, true},           {child, other, false},
        {unrelated, delegate, false}, {child, nullptr, false}, {rt.rootClass(), object, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(rt.conformsToProtocol(c.cls, c.protocol), c.conforms) << c.cls->name();
        auto instance = std::make_shared<Object>(c.cls);
        EXPECT_EQ(send<bool>(instance, sel("conformsToProtocol:"), c.protocol), c.conforms) << c.cls->name();
        EXPECT_EQ(send<bool>(c.cls, sel("conformsToProtocol:"), c.protocol), c.conforms) << c.cls->name();
    }
    EXPECT_TRUE(rt.protocolList(child).empty());
}

TEST_F(ObjcRuntime, RegistrationByNameAndOrder) {
    Class* a = makeClass("A");
    Class* b = makeClass("B", a);
    EXPECT_EQ(makeClass("A"), nullptr) << "names are unique";
    EXPECT_EQ(ClassBuilder(rt, "", rt.rootClass()).registerClass(), nullptr);
    { ClassBuilder abandoned(rt, "Abandoned", a); }
    EXPECT_NE(makeClass("Abandoned"), nullptr) << "an unregistered builder gives its name back";
    EXPECT_FALSE(rt.disposeClassPair(a)) << "a class with subclasses stays";

    std::vector<std::string> names;
    for (Class* c : rt.classList()) names.push_back(c->name());
    EXPECT_EQ(names, (std::vector<std::string>{Runtime::kRootClassName, "A", "B", "Abandoned"}));
    EXPECT_TRUE(isSubclassOf(b, a));
    EXPECT_TRUE(isSubclassOf(b, rt.rootClass()));
    EXPECT_FALSE(isSubclassOf(a, b));
    EXPECT_EQ(b->superclass(), a);
    EXPECT_EQ(b->metaclass()->superclass(), a->metaclass());
    EXPECT_EQ(rt.rootClass()->metaclass()->superclass(), rt.rootClass());
    EXPECT_EQ(sel("x:y:"), selectorFromString(std::string("x:") + "y:"));
}

TEST_F(ObjcRuntime, FieldsAreListedInDeclarationOrder) {
    Class* cls = ClassBuilder(rt, "Holder", rt.rootClass())
                     .ivar({"_count", "q", [](Object*) { return std::any(3); }})
                     .ivar({"_delegate", "@", [](Object* self) { return std::any(self->associatedObject(sel("d"))); }})
                     .registerClass();
    auto holder = std::make_shared<Object>(cls);
    auto ivars = rt.ivarList(cls);
    ASSERT_EQ(ivars.size(), 2u);
    EXPECT_EQ(ivars[0].name, "_count");
    EXPECT_EQ(ivars[1].typeEncoding, "@");
    EXPECT_EQ(std::any_cast<int>(ivars[0].read(holder.get())), 3);
}

// Sends race with exchanges, replacements and registrations; run under ThreadSanitizer.
TEST_F(ObjcRuntime, ConcurrentLookupsAndExchanges) {
    const Selector a = sel("a");
    const Selector b = sel("b");
    Class* base = ClassBuilder(rt, "Base", rt.rootClass())
                      .method(a, makeImp([](Object*, Selector) { return 1; }))
                      .method(b, makeImp([](Object*, Selector) { return 2; }))
                      .registerClass();
    Class* child = makeClass("Child", base);
    auto object = std::make_shared<Object>(child);
    std::atomic<bool> bad{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                int x = send<int>(object, a), y = send<int>(object, b);
                if ((x != 1 && x != 2) || (y != 1 && y != 2)) bad = true;
                if (!respondsToSelector(object, a) || !rt.lookUpClass("Base")) bad = true;
            }
        });
    threads.emplace_back([&] {
        for (int i = 0; i < 2000; ++i) rt.exchangeImplementations(child, a, b);
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 200; ++i) {
            makeClass(("Dynamic" + std::to_string(i)).c_str(), base);
            rt.replaceMethod(base, sel("c"), makeImp([](Object*, Selector) { return 3; }));
            object->setAssociatedObject(sel("k"), std::make_shared<Object>(base), AssociationPolicy::Retain);
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 1000; ++i) {
            setClass(object.get(), i % 2 ? base : child);
            object->associatedObject(sel("k"));
        }
        setClass(object.get(), child);
    });
    for (auto& t : threads) t.join();
    EXPECT_FALSE(bad);
    EXPECT_EQ(send<int>(std::make_shared<Object>(base), a), 1) << "the superclass kept its methods";
    EXPECT_EQ(rt.classList().size(), 203u);
}

}  // namespace
}  // namespace platform::objc
