// Client lookups that read the clients table by host name and address.
#include "host/ClientLookups.h"

#include <cstdlib>

#include "platform/StateDb.h"

namespace ClientLookup {
namespace {

// Ids of the clients matching `where` (one parameter), in id order.
CZuError ClientIds(const char* where, const std::string& value, std::vector<uint64_t>& ids) {
    StateDb* db = nullptr;
    if (CZuError err = StateDb::Get(db)) return err.Push(FXLOC);
    std::vector<StateDb::Row> rows;
    if (CZuError err = db->Query(std::string("SELECT id FROM clients WHERE ") + where +
                                     " ORDER BY id",
                                 {value}, rows))
        return err.Push(FXLOC, "Failed to look up clients for [%s]", value.c_str());
    for (const StateDb::Row& row : rows)
        if (!row.empty() && row[0]) ids.push_back(std::strtoull(row[0]->c_str(), nullptr, 10));
    return {};
}

CZuError Load(const std::vector<uint64_t>& ids, std::vector<TWClient>& out) {
    for (uint64_t id : ids) {
        TWClient c;
        if (CZuError err = TWClient::ById(id, c)) return err.Push(FXLOC);
        out.push_back(std::move(c));
    }
    return {};
}

}  // namespace

CZuError ByHostName(const std::string& hostName, TWClient& out) {
    std::vector<uint64_t> ids;
    if (CZuError err = ClientIds("net_host_name = ?1", hostName, ids)) return err.Push(FXLOC);
    if (ids.empty())
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::NotFound, "No client with host name [%s]",
                                       hostName.c_str());
    return TWClient::ById(ids.front(), out).Push(FXLOC);
}

CZuError ByNameOrHostName(const std::string& nameOrHost, TWClient& out) {
    CZuError err = TWClient::ByName(nameOrHost, out);
    if (err.IsSuccess() || err.GetErrorCode() != ZuCode::NotFound) return err.Push(FXLOC);
    return ByHostName(nameOrHost, out).Push(FXLOC);
}

CZuError ByAddress(const std::string& address, std::vector<TWClient>& out) {
    std::vector<uint64_t> ids;
    // The registered addresses are kept joined by ",": match one whole entry.
    if (CZuError err = ClientIds(
            "net_host_name = ?1 OR instr(',' || ip_addresses || ',', ',' || ?1 || ',') > 0",
            address, ids))
        return err.Push(FXLOC);
    return Load(ids, out).Push(FXLOC);
}

}  // namespace ClientLookup
