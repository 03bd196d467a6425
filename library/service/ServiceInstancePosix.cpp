#include "service/ServiceHost.h"

namespace GSM {

// Destroyed at exit or dlclose, where its destructor stops a service still running.
CServiceHost& ServiceHost() {
    static CServiceHost host;
    return host;
}

}  // namespace GSM
