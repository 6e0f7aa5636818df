#pragma once
// Catalogue ids of the snapshot backup coordinator's pending causes.
#include <cstdint>

namespace MongoDbKax::SnapBackupEventIds {

// A node could not be started; arguments "backup" and the node's client name.
inline constexpr uint32_t kNodeFailedToStart = 0x07000114;
// The backup nodes could not be listed; argument: the error text.
inline constexpr uint32_t kNodeListingFailed = 0x07000121;

}  // namespace MongoDbKax::SnapBackupEventIds
