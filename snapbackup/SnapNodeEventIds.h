#pragma once
// Catalogue ids of the pending causes and events the snapshot backup raises
// on a node.
#include <cstdint>

namespace MongoDbKax::SnapNodeEventIds {

// The node snapshot could not be initialised.
inline constexpr uint32_t kSnapInitFailed = 0x07000130;
// A secondary could not be locked; argument: the error text.
inline constexpr uint32_t kQuiesceFailed = 0x07000131;
// The oplog position of a replica set could not be read after the snapshot.
inline constexpr uint32_t kOplogTimestampMissing = 0x07000132;
// A secondary could not be unlocked after the snapshot.
inline constexpr uint32_t kUnquiesceFailed = 0x07000133;
// Information: a replica set was snapshotted; arguments: replica set,
// secondary host, secondary port, secondary data path.
inline constexpr uint32_t kSnapCompleted = 0x07000134;
// Information: the secondary's mongod configuration file could not be copied
// into its data path; argument: "host:port".
inline constexpr uint32_t kConfigCopyFailed = 0x07000135;

}  // namespace MongoDbKax::SnapNodeEventIds
