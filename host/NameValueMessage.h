#pragma once
// The platform's name/value message (119/13): one name and one value
// string. The utility process answers its launcher with one of them.
#include <string>

#include "host/Message.h"

namespace App {

inline constexpr const char* kNameValueTag = "NameValue";

inline CNMessageBase MakeNameValueMessage(const std::string& name, const std::string& value) {
    CNMessageBase message(kNameValueTag);
    message.Set("name", name);
    message.Set("value", value);
    return message;
}

// False when `message` is not a name/value message.
inline bool ReadNameValueMessage(const CNMessageBase& message, std::string& name, std::string& value) {
    if (message.GetTag() != kNameValueTag || !message.Get("name", name)) return false;
    value = message.GetString("value");
    return true;
}

}  // namespace App
