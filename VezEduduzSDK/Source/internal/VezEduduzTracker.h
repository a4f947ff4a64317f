#pragma once
// VezEduduzTracker: how long the app is in front, reported to the push service. Foreground spells are
// added up on the device ("VD_UNSENT_ACTIVE_TIME") until they reach 30 s, then sent as one ping to the
// players' on_focus (push player, and the e-mail player when there is one). A return to the foreground
// refreshes the registration and clears the badge. Main loop; the life-cycle hooks drive it once an
// app id is set.
namespace vezeduduz {

class VezEduduzTracker {
public:
    static constexpr double kMinActiveTimeToReport = 30.0;
    static constexpr double kSpellPadding = 0.5;
    static constexpr double kLongestSpell = 86400.0;

    // toBackground: true when the app resigns active or terminates, false when it becomes active. Repeated
    // calls in one direction count once.
    static void onFocus(bool toBackground);
    static double getUnsentActiveTime();
    static void saveUnsentActiveTime(double seconds);
};

}  // namespace vezeduduz
