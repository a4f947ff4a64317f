#include "app/Tesmar.h"

#include <mutex>

#include "VezEduduzSDK/Source/VezEduduzSDK.h"
#include "app/AppDelegate.h"
#include "app/Strings.h"
#include "app/ViewController.h"
#include "crash_reporter/Dodoredized.h"
#include "kit_platform/Verira.h"
#include "measurement/reporting/MSRScreenViewReporter.h"
#include "platform/usernotifications/UserNotificationCenter.h"
#include "zidedova_core/DOREdozadedo.h"

namespace Tesmar {

void registerClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        uikit::registerClasses();
        platform::usernotifications::registerClasses();
        verira::registerClasses();
        dodoredized::registerClasses();
        measurement::registerClasses();
        zidedova::registerClasses();
        // The push client intercepts the application before the application sets its delegate.
        vezeduduz::loadApplicationCategory();
        AppDelegate::runtimeClass();
        ViewController::runtimeClass();
    });
    auto makeScreen = [] {
        return std::static_pointer_cast<uikit::ViewController>(std::make_shared<ViewController>());
    };
    uikit::Storyboard::registerStoryboard(
        Strings::Storyboard::main,
        {.initial =
             [] {
                 // Through the scene, so the first screen knows its storyboard (new windows need it).
                 auto board = uikit::Storyboard::named(Strings::Storyboard::main);
                 auto root = board ? board->instantiateViewControllerWithIdentifier(viewControllerIdentifier) : nullptr;
                 return std::static_pointer_cast<uikit::ViewController>(uikit::NavigationController::withRoot(root));
             },
         .scenes = {{viewControllerIdentifier, makeScreen}}});
}

int main(int argc, char** argv) {
    registerClasses();
    return uikit::UIApplicationMain(argc, argv, nullptr, "AppDelegate");
}

}  // namespace Tesmar
