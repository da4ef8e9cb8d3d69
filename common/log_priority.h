#pragma once

namespace common {

// How hard the log tries to keep a record while its writer lags. Lifecycle
// records (the start, each presence taken) may use room that the others may
// not, so that a flood of other records never crowds them out; the record of
// why the process ends has a last room of its own, which a flood of
// presences taken cannot fill either (it comes once or twice a run).
enum class LogPriority { Ordinary, Lifecycle, Ending };

}  // namespace common
