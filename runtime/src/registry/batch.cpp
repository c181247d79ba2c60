// w32rt::begin_registry_batch and end_registry_batch (w32rt/registry_batch.h).
#include <w32rt/registry_batch.h>

#include "registry/registry.h"

namespace w32rt {

LSTATUS begin_registry_batch() { return registry::Registry::current().begin_batch(); }

LSTATUS end_registry_batch(bool commit) { return registry::Registry::current().end_batch(commit); }

}  // namespace w32rt
