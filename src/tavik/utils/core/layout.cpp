// The interpreter's private layouts that the kept answers read, checked at
// compile time against the headers of the very interpreter built for. Nothing
// here is compiled into code.
#include "core/watch.hpp"

#define Py_BUILD_CORE 1
#include "internal/pycore_ceval.h"
#include "internal/pycore_instruments.h"

#include <cstddef>

namespace tavik {

// has_local_events() reads a code object's local monitors as LocalMonitors.
static_assert(offsetof(_PyCoMonitoringData, local_monitors) == 0);
static_assert(sizeof(_Py_LocalMonitors) == sizeof(LocalMonitors));
static_assert(_PY_MONITORING_LOCAL_EVENTS == sizeof(LocalMonitors::tools));
// observed_since() asks for events 0 to RERAISE: the events with a table of
// their own.
static_assert(_PY_MONITORING_UNGROUPED_EVENTS == PY_MONITORING_EVENT_RERAISE + 1);
// python_is_observed() reads the monitoring version from the eval breaker's
// high bits, as the eval loop does.
static_assert(_PY_EVAL_EVENTS_MASK == kEvalEventsMask);

}  // namespace tavik
