#include "platform/host_resolver.h"

#include <atomic>

namespace qv {

namespace {
std::atomic<HOST_RESOLVER*> InstalledResolver{nullptr};
}

HOST_RESOLVER& CurrentHostResolver() {
    HOST_RESOLVER* resolver = InstalledResolver.load();
    return resolver ? *resolver : SystemHostResolver();
}

void SetHostResolver(HOST_RESOLVER* resolver) { InstalledResolver.store(resolver); }

}  // namespace qv
