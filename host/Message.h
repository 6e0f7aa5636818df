#pragma once
// Typed XML messages between processes and nodes. A message is a tree: a tag,
// ordered name/value pairs, and child messages (lists are repeated children).
// Every typed message serializes to and from this tree, so there is one XML
// reader and writer for all of them.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/ZuError.h"

class CNMessageBase {
public:
    explicit CNMessageBase(std::string tag = "Message");
    virtual ~CNMessageBase() = default;

    const std::string& GetTag() const { return m_tag; }
    void SetTag(std::string tag) { m_tag = std::move(tag); }

    // Name/value pairs in order. Set replaces the first pair of that name
    // (keeping its position) or appends; Add always appends, so a name can
    // repeat (one pair per replica set, say) and GetAll reads them back.
    void Set(const std::string& name, const std::string& value);
    void Add(const std::string& name, const std::string& value);
    void SetInt(const std::string& name, int64_t value);
    bool Has(const std::string& name) const;
    // The first pair of that name.
    bool Get(const std::string& name, std::string& value) const;
    std::vector<std::string> GetAll(const std::string& name) const;
    // Defaults when absent; GetInt also when the value is not an integer.
    std::string GetString(const std::string& name, const std::string& def = "") const;
    int64_t GetInt(const std::string& name, int64_t def = 0) const;
    const std::vector<std::pair<std::string, std::string>>& GetPairs() const { return m_pairs; }

    // Children in document order.
    CNMessageBase& AddChild(const std::string& tag);
    CNMessageBase& AddChild(const CNMessageBase& child);
    // First child with the tag, or null.
    const CNMessageBase* GetChild(const std::string& tag) const;
    CNMessageBase* GetChild(const std::string& tag);
    std::vector<const CNMessageBase*> GetChildren(const std::string& tag) const;
    const std::vector<CNMessageBase>& GetAllChildren() const { return m_children; }
    void ClearChildren() { m_children.clear(); }

    // The tree as XML: <message tag="T"><pair name="n" value="v"/>...
    // <message tag="child">...</message></message>; any text round-trips.
    std::string ToXml() const;
    // Error 13 with the parser's description on malformed XML or on XML that
    // is not of the form above; `out` is left unchanged then.
    static CZuError FromXml(const std::string& xml, CNMessageBase& out);
    // Through Serialize/Unserialize, so typed messages work too. The file is
    // written aside and renamed into place.
    CZuError WriteToFile(const std::string& path) const;
    static CZuError ReadFromFile(const std::string& path, CNMessageBase& out);

    // Typed messages override these to map their fields onto the tree.
    virtual void Serialize(CNMessageBase& tree) const;
    virtual CZuError Unserialize(const CNMessageBase& tree);
    // Typed message <-> XML text through Serialize/Unserialize.
    std::string SerializeToXml() const;
    CZuError UnserializeFromXml(const std::string& xml);

private:
    std::string m_tag;
    std::vector<std::pair<std::string, std::string>> m_pairs;
    std::vector<CNMessageBase> m_children;
};
