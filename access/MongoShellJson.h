#pragma once
// Reading documents printed by the legacy mongo shell. The shell prints BSON
// types that JSON lacks in its own constructor forms, e.g. a ping reply from
// a replica-set member:
//   { "ok" : 1, "$clusterTime" : { "clusterTime" : Timestamp(1700000000, 1),
//     "signature" : { "hash" : BinData(0,"AAAA..."), "keyId" : NumberLong(0) } },
//     "operationTime" : Timestamp(1700000000, 1) }
// These forms are rewritten into the Extended JSON a driver reply carries,
// so that readers see the same shapes from either source.
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace MongoDbKax {

// Rewrites Timestamp(t, i), BinData(n, "b64"), NumberLong(n), NumberInt(n),
// NumberDecimal("x"), ObjectId("x"), ISODate("x") and UUID("x") outside
// string literals; any other text, and any of these whose arguments do not
// have the expected shape, is left as it is.
std::string ShellTextToExtendedJson(const std::string& shellText);

// Parses shell output as one JSON object, after the rewrite above. False
// (and `out` untouched) when the text is not an object.
bool ParseShellJson(const std::string& shellText, nlohmann::json& out);

}  // namespace MongoDbKax
