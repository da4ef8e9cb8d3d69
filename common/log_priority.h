#pragma once

namespace common {

// How hard the log tries to keep a record while its writer lags. Lifecycle
// records (the start, each presence taken, why the process ends) may use
// room that the others may not, so that a flood of other records never
// crowds them out.
enum class LogPriority { Ordinary, Lifecycle };

}  // namespace common
