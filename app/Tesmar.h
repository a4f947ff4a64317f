#pragma once
// The shell's door: class registration (an explicit call at start-up, before launch) and the
// program entry.
namespace Tesmar {

// Registers the runtime classes the shell and its SDKs need ("AppDelegate", "ViewController", the
// kit platform's and the crash reporter's, the app core's and the measurement classes) and the
// "Main" storyboard: a navigation controller around a ViewController, and the scene
// "ViewController". Idempotent.
void registerClasses();

// The program entry: registerClasses, then UIApplicationMain with "AppDelegate".
int main(int argc, char** argv);

}  // namespace Tesmar
