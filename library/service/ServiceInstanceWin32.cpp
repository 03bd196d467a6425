#include "service/ServiceHost.h"

namespace GSM {

// Never destroyed. Static destructors run under the loader lock, where joining the worker
// hangs for good; while the service runs the library holds itself loaded, so they only run
// at process exit, after Windows has ended the worker. The library then only lets go.
CServiceHost& ServiceHost() {
    static CServiceHost* const host = new CServiceHost;
    return *host;
}

}  // namespace GSM
