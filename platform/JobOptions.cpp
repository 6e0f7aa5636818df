#include "host/JobOptions.h"

#include <cerrno>
#include <cstdlib>

namespace JobManager {
namespace {

const char* kRestoreOptions = "restoreOptions";
const char* kCommonOptions = "commonOptions";
const char* kDistributedApps = "distributedAppsRestoreOptions";
const char* kMongoDB = "mongoDBRestoreOptions";
const char* kDestShard = "destShard";
const char* kGranularEntity = "granularEntity";

// Strict integer reading: a present but malformed number is an error rather
// than a silent zero, because these fields decide what a restore overwrites.
CZuError ReadInt(const CNMessageBase& m, const char* name, std::optional<int64_t>& out) {
    std::string text;
    if (!m.Get(name, text)) return {};
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || errno != 0 || *end != '\0')
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidData,
                                       "Field [%s] of [%s] is not an integer: [%s]", name,
                                       m.GetTag().c_str(), text.c_str());
    out = v;
    return {};
}

CZuError ReadInt(const CNMessageBase& m, const char* name, int64_t& out) {
    std::optional<int64_t> v;
    CZuError err = ReadInt(m, name, v);
    if (v) out = *v;
    return err;
}

CZuError ReadUInt(const CNMessageBase& m, const char* name, uint64_t& out) {
    std::optional<int64_t> v;
    CZuError err = ReadInt(m, name, v);
    if (v) out = static_cast<uint64_t>(*v);
    return err;
}

CZuError ReadBool(const CNMessageBase& m, const char* name, bool& out) {
    std::optional<int64_t> v;
    CZuError err = ReadInt(m, name, v);
    if (v) out = *v != 0;
    return err;
}

void WriteMongo(const MongoDBRestoreOptions& o, CNMessageBase& m) {
    if (o.granularRecovery) m.SetInt("granularRecovery", *o.granularRecovery);
    m.Set("oplogStagingPath", o.oplogStagingPath);
    m.SetInt("automatedRecovery", o.automatedRecovery);
    m.SetInt("recoveryOplogLimitTime", static_cast<int64_t>(o.recoveryOplogLimitTime));
    m.SetInt("shutdownAndRemoveData", o.shutdownAndRemoveData);
    m.SetInt("inPlace", o.inPlace);
    m.SetInt("restoreOnly", o.restoreOnly);
    if (o.retainStagingInstance) m.SetInt("retainStagingInstance", *o.retainStagingInstance);
    m.SetInt("recoverToTime", static_cast<int64_t>(o.recoverToTime));
    for (const auto& s : o.destShards) {
        CNMessageBase copy = s;
        copy.SetTag(kDestShard);
        m.AddChild(copy);
    }
    for (const auto& e : o.granularEntities) {
        CNMessageBase copy = e;
        copy.SetTag(kGranularEntity);
        m.AddChild(copy);
    }
}

CZuError ReadMongo(const CNMessageBase& m, MongoDBRestoreOptions& o) {
    CZuError err;
    if ((err = ReadInt(m, "granularRecovery", o.granularRecovery)) ||
        (err = ReadBool(m, "automatedRecovery", o.automatedRecovery)) ||
        (err = ReadUInt(m, "recoveryOplogLimitTime", o.recoveryOplogLimitTime)) ||
        (err = ReadBool(m, "shutdownAndRemoveData", o.shutdownAndRemoveData)) ||
        (err = ReadBool(m, "inPlace", o.inPlace)) ||
        (err = ReadBool(m, "restoreOnly", o.restoreOnly)) ||
        (err = ReadInt(m, "retainStagingInstance", o.retainStagingInstance)) ||
        (err = ReadUInt(m, "recoverToTime", o.recoverToTime)))
        return err.Push(FXLOC);
    o.oplogStagingPath = m.GetString("oplogStagingPath");
    for (const CNMessageBase* s : m.GetChildren(kDestShard)) o.destShards.push_back(*s);
    for (const CNMessageBase* e : m.GetChildren(kGranularEntity)) o.granularEntities.push_back(*e);
    return {};
}

}  // namespace

void JobOptions::Serialize(CNMessageBase& tree) const {
    tree = CNMessageBase("JobOptions");
    if (!restoreOptions) return;
    const RestoreOptions& r = *restoreOptions;
    CNMessageBase& rm = tree.AddChild(kRestoreOptions);
    rm.Set("destinationInstanceName", r.destinationInstanceName);
    rm.AddChild(kCommonOptions).SetInt("unconditionalOverwrite", r.unconditionalOverwrite);
    if (!r.distributedAppsRestoreOptions) return;
    const DistributedAppsRestoreOptions& d = *r.distributedAppsRestoreOptions;
    CNMessageBase& dm = rm.AddChild(kDistributedApps);
    dm.SetInt("restoreType", d.restoreType);
    if (d.mongoDBRestoreOptions) WriteMongo(*d.mongoDBRestoreOptions, dm.AddChild(kMongoDB));
}

CZuError JobOptions::Unserialize(const CNMessageBase& tree) {
    if (tree.GetTag() != "JobOptions")
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidData,
                                       "Expected a JobOptions message, got [%s]",
                                       tree.GetTag().c_str());
    restoreOptions.reset();
    const CNMessageBase* rm = tree.GetChild(kRestoreOptions);
    if (!rm) return {};
    RestoreOptions r;
    r.destinationInstanceName = rm->GetString("destinationInstanceName");
    if (const CNMessageBase* cm = rm->GetChild(kCommonOptions)) {
        if (CZuError err = ReadBool(*cm, "unconditionalOverwrite", r.unconditionalOverwrite))
            return err.Push(FXLOC);
    }
    if (const CNMessageBase* dm = rm->GetChild(kDistributedApps)) {
        DistributedAppsRestoreOptions d;
        if (CZuError err = ReadInt(*dm, "restoreType", d.restoreType)) return err.Push(FXLOC);
        if (const CNMessageBase* mm = dm->GetChild(kMongoDB)) {
            MongoDBRestoreOptions o;
            if (CZuError err = ReadMongo(*mm, o)) return err.Push(FXLOC);
            d.mongoDBRestoreOptions = std::move(o);
        }
        r.distributedAppsRestoreOptions = std::move(d);
    }
    restoreOptions = std::move(r);
    return {};
}

}  // namespace JobManager
