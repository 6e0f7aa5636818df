#include "runner/ErrorText.h"

std::string ErrorText(const CZuError& err) {
    std::string line;
    const auto& frames = err.GetFrames();
    for (auto it = frames.rbegin(); it != frames.rend(); ++it)
        if (!it->message.empty() && line.find(it->message) == std::string::npos)
            line += (line.empty() ? "" : ": ") + it->message;
    return line.empty() ? err.AsString() : line;
}
