#pragma once
// The properties of a subclient (application) that backups read and change.
#include <cstdint>
#include <string>

#include "host/ZuError.h"

class TWSubclient {
public:
    // The subclient's properties; error 4312 when the application is not
    // registered.
    static CZuError Get(uint32_t marlexId, uint32_t appId, TWSubclient& out);
    // Stores blockLevel, storagePolicyId and ferrant.
    CZuError Save() const;

    uint32_t marlexId = 0;
    uint32_t appId = 0;
    bool blockLevel = false;  // block-level backup (snapshot backups switch it off)
    int storagePolicyId = 0;
    std::string ferrant;      // data mover client name; "" = none
};
