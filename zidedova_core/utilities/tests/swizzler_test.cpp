#include <gtest/gtest.h>

#include <atomic>

#include "zidedova_core/utilities/ZUTSwizzler.h"
#include "zidedova_core/utilities/tests/LogCapture.h"

namespace zidedova {
namespace {

namespace objc = platform::objc;
using objc::Object;
using objc::ObjectHandle;
using objc::sel;
using objc::Selector;

std::string uniqueName(const char* base) {
    static std::atomic<int> n{0};
    return std::string(base) + std::to_string(n++);
}

// A class with +kind and -kind answering "class" and "instance", and -add: answering x + 1.
objc::Class* makeClass() {
    auto& rt = objc::Runtime::shared();
    return objc::ClassBuilder(rt, uniqueName("SwizzleTarget"), rt.rootClass())
        .classMethod(sel("kind"), objc::makeImp([](Object*, Selector) { return std::string("class"); }))
        .method(sel("kind"), objc::makeImp([](Object*, Selector) { return std::string("instance"); }))
        .method(sel("add:"), objc::makeImp([](Object*, Selector, int64_t x) { return x + 1; }))
        .registerClass();
}

TEST(ZUTSwizzlerTest, InstanceAndClassSwizzlesReplaceOnlyTheirOwnSide) {
    struct Case {
        bool classSide;
        std::string instanceAnswer, classAnswer;
    };
    for (const Case& c : {Case{false, "swizzled", "class"}, Case{true, "instance", "swizzled"}}) {
        objc::Class* cls = makeClass();
        auto object = std::make_shared<Object>(cls);
        Object* seenReceiver = nullptr;
        Object* expectedReceiver = c.classSide ? static_cast<Object*>(cls) : object.get();
        ASSERT_TRUE(ZUTSwizzler::swizzleClass(cls, sel("kind"), c.classSide, [&](Object* self) {
            seenReceiver = self;
            return std::string("swizzled");
        }));
        EXPECT_EQ(objc::send<std::string>(object, sel("kind")), c.instanceAnswer);
        EXPECT_EQ(objc::send<std::string>(cls, sel("kind")), c.classAnswer);
        EXPECT_EQ(seenReceiver, expectedReceiver);  // the block receives the receiver first
        auto current = ZUTSwizzler::currentImplementationForClass(cls, sel("kind"), c.classSide);
        ASSERT_TRUE(current);
        EXPECT_EQ(objc::callImp<std::string>(current, expectedReceiver, sel("kind")), "swizzled");
        // Nothing is remembered, and unswizzling leaves the replacement.
        EXPECT_EQ(ZUTSwizzler::originalImplementationForClass(cls, sel("kind"), c.classSide), nullptr);
        ZUTSwizzler::unswizzleClass(cls, sel("kind"), c.classSide);
        EXPECT_EQ(ZUTSwizzler::currentImplementationForClass(cls, sel("kind"), c.classSide), current);
    }
}

TEST(ZUTSwizzlerTest, ArgumentsReachTheBlock) {
    objc::Class* cls = makeClass();
    ASSERT_TRUE(ZUTSwizzler::swizzleClass(cls, sel("add:"), false, [](Object*, int64_t x) { return x * 10; }));
    EXPECT_EQ(objc::send<int64_t>(std::make_shared<Object>(cls), sel("add:"), int64_t(4)), 40);
}

TEST(ZUTSwizzlerTest, RefusesMissingMethodsAndForeignSignaturesWithALogLine) {
    testing::LogCapture logs;
    objc::Class* cls = makeClass();
    auto before = ZUTSwizzler::currentImplementationForClass(cls, sel("add:"), false);
    EXPECT_FALSE(ZUTSwizzler::swizzleClass(cls, sel("missing"), false, [](Object*) {}));
    EXPECT_FALSE(ZUTSwizzler::swizzleClass(cls, sel("add:"), true, [](Object*, int64_t x) { return x; }));
    EXPECT_FALSE(ZUTSwizzler::swizzleClass(cls, sel("add:"), false, [](Object*, std::string s) { return s; }));
    EXPECT_FALSE(ZUTSwizzler::swizzleClass(cls, sel("add:"), false, [](Object*, int64_t) {}));
    EXPECT_FALSE(ZUTSwizzler::selectorExistsInClass(sel("missing"), cls, false));
    EXPECT_EQ(ZUTSwizzler::currentImplementationForClass(cls, sel("add:"), false), before);
    EXPECT_EQ(logs.count("I-SWZ001014"), 2u);
    EXPECT_EQ(logs.count("I-SWZ001015"), 2u);
    EXPECT_EQ(objc::send<int64_t>(std::make_shared<Object>(cls), sel("add:"), int64_t(1)), 2);
}

TEST(ZUTSwizzlerTest, LookUpsAnswerNullOrNoForAbsentThings) {
    objc::Class* cls = makeClass();
    EXPECT_EQ(ZUTSwizzler::currentImplementationForClass(nullptr, sel("kind"), false), nullptr);
    EXPECT_EQ(ZUTSwizzler::currentImplementationForClass(cls, Selector(), false), nullptr);
    EXPECT_EQ(ZUTSwizzler::currentImplementationForClass(cls, sel("nothing"), true), nullptr);
    EXPECT_TRUE(ZUTSwizzler::selectorExistsInClass(sel("kind"), cls, true));
    EXPECT_TRUE(ZUTSwizzler::selectorExistsInClass(sel("add:"), cls, false));
    EXPECT_FALSE(ZUTSwizzler::selectorExistsInClass(sel("add:"), cls, true));
    EXPECT_FALSE(ZUTSwizzler::selectorExistsInClass(sel("kind"), nullptr, false));
}

TEST(ZUTSwizzlerTest, IvarObjectsAreTheClassesOwnObjectFieldsInOrderWithoutNils) {
    auto& rt = objc::Runtime::shared();
    auto first = std::make_shared<Object>(rt.rootClass());
    auto second = std::make_shared<Object>(rt.rootClass());
    auto inherited = std::make_shared<Object>(rt.rootClass());
    auto field = [](ObjectHandle value) { return [value](Object*) { return std::any(value); }; };
    objc::Class* base = objc::ClassBuilder(rt, uniqueName("IvarBase"), rt.rootClass())
                            .ivar({"_inherited", "@", field(inherited)})
                            .registerClass();
    objc::Class* cls = objc::ClassBuilder(rt, uniqueName("IvarChild"), base)
                           .ivar({"_second", "@\"NSString\"", field(second)})
                           .ivar({"_count", "q", [](Object*) { return std::any(int64_t(3)); }})
                           .ivar({"_empty", "@", field(nullptr)})
                           .ivar({"_first", "@", field(first)})
                           .registerClass();
    auto object = std::make_shared<Object>(cls);
    EXPECT_EQ(ZUTSwizzler::ivarObjectsForObject(object.get()), (std::vector<ObjectHandle>{second, first}));
    EXPECT_TRUE(ZUTSwizzler::ivarObjectsForObject(nullptr).empty());
}

}  // namespace
}  // namespace zidedova
