#pragma once
// Internal: the key to a task's constructors and to what URL loading's engine does to a task. Outside
// this header it is declared only, so no one can make one: nothing outside URL loading may include it.
namespace platform::urlsession_detail {

struct TaskKey {};
inline constexpr TaskKey kTaskKey{};

}  // namespace platform::urlsession_detail
