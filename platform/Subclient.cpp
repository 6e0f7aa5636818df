// Subclient properties: an application of the management database plus the
// values backups change (block level, storage policy, data mover).
//
// subclient_properties  (marlex id, app id) -> block level, policy, ferrant;
//                       absent row = defaults.
#include "host/Subclient.h"

#include <cstdlib>

#include "host/Entities.h"
#include "platform/StateDb.h"

KAX_STATE_SCHEMA("subclient_properties",
                 "CREATE TABLE IF NOT EXISTS subclient_properties ("
                 " marlex_id INTEGER NOT NULL,"
                 " app_id INTEGER NOT NULL,"
                 " block_level INTEGER NOT NULL DEFAULT 0,"
                 " storage_policy_id INTEGER NOT NULL DEFAULT 0,"
                 " ferrant TEXT NOT NULL DEFAULT '',"
                 " PRIMARY KEY (marlex_id, app_id))");

namespace {
constexpr uint32_t kSubclientNotFound = 4312;
}

CZuError TWSubclient::Get(uint32_t marlexId, uint32_t appId, TWSubclient& out) {
    ApplicationId application(marlexId, appId);
    if (CZuError err = application.Resolve())
        return FXErrorUtil::ErrorWin32(FXLOC, kSubclientNotFound, "no subclient [%u:%u]: %s", marlexId, appId,
                                       err.GetMessage().c_str());
    out = TWSubclient();
    out.marlexId = marlexId;
    out.appId = appId;
    StateDb* db = nullptr;
    if (CZuError err = StateDb::Get(db)) return err.Push(FXLOC);
    std::vector<StateDb::Row> rows;
    if (CZuError err = db->Query("SELECT block_level, storage_policy_id, ferrant FROM subclient_properties"
                                 " WHERE marlex_id = ?1 AND app_id = ?2",
                                 {std::to_string(marlexId), std::to_string(appId)}, rows))
        return err.Push(FXLOC);
    if (!rows.empty()) {
        const auto& r = rows[0];
        out.blockLevel = r[0] && std::atoi(r[0]->c_str()) != 0;
        out.storagePolicyId = r[1] ? std::atoi(r[1]->c_str()) : 0;
        out.ferrant = r[2] ? *r[2] : "";
    }
    return {};
}

CZuError TWSubclient::Save() const {
    StateDb* db = nullptr;
    if (CZuError err = StateDb::Get(db)) return err.Push(FXLOC);
    CZuError err = db->Exec(
        "INSERT OR REPLACE INTO subclient_properties (marlex_id, app_id, block_level, storage_policy_id, ferrant)"
        " VALUES (?1, ?2, ?3, ?4, ?5)",
        {std::to_string(marlexId), std::to_string(appId), std::to_string(blockLevel ? 1 : 0),
         std::to_string(storagePolicyId), ferrant});
    return err.Push(FXLOC, "Failed to save subclient [%u:%u]", marlexId, appId);
}
