#include "logbackup/OplogStoreFile.h"

#include "host/Files.h"

namespace MongoDbKax {

CZuError OplogStoreFile::Replace(const std::string& path, const std::string& content) {
    // Hidden, and named so that no reader of the store takes it for one of its files.
    const std::string partial =
        FXPath::Join(FXPath::Parent(path), "." + FXPath::LastComponent(path) + ".partial");
    CZuError err = FXFile::WriteAll(partial, content);
    if (!err) err = FXFile::Move(partial, path);
    if (err) FXFile::Delete(partial);
    return err.Push(FXLOC);
}

}  // namespace MongoDbKax
