// The HTTP API on libmicrohttpd: JSON in and out, bearer keys, every refusal a 4xx with its
// reason in {"error": ...}.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "Config.h"
#include "Fleet.h"
#include "Publishers.h"
#include "Store.h"

struct MHD_Daemon;

namespace Tarvikd {

class CApi {
public:
    // `mqtt`: the publisher, when there is a broker.
    CApi(const Config& config, IStore& store, CFleet& fleet, const CMqtt* mqtt = nullptr);
    ~CApi();
    CApi(const CApi&) = delete;
    CApi& operator=(const CApi&) = delete;

    // False, with the reason, when it cannot listen.
    bool Start(std::string& why);
    void Stop();

    struct Reply {
        unsigned status = 200;
        std::string body;
        std::string contentType = "application/json";
        std::string extraHeader;                                   // "Name: value", or empty
        std::vector<std::pair<std::string, std::string>> headers;  // more, by name and value
    };
    using Query = std::map<std::string, std::string>;  // decoded names and values
    // One request, without the server around it.
    Reply Handle(const std::string& method, const std::string& path, const Query& query,
                 const std::string& authorization, const std::string& idempotencyKey,
                 const std::string& body);

private:
    const Config& config_;
    IStore& store_;
    CFleet& fleet_;
    const CMqtt* mqtt_;
    MHD_Daemon* daemon_ = nullptr;
};

}  // namespace Tarvikd
