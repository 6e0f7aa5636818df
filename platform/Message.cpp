#include "host/Message.h"

#include <charconv>
#include <pugixml.hpp>
#include <sstream>
#include <unistd.h>

#include "host/Files.h"

// The XML form is the same for every message, whatever its tag and names:
//   <message tag="T"><pair name="n" value="v"/>...<message tag="C">...</message></message>
// Tags and names are attribute values, so any text (blanks, "::", digits
// first) round-trips; repeated children form lists.
namespace {

constexpr const char* kMessageElement = "message";
constexpr const char* kPairElement = "pair";

void WriteNode(const CNMessageBase& message, pugi::xml_node node) {
    node.append_attribute("tag").set_value(message.GetTag().c_str());
    for (const auto& [name, value] : message.GetPairs()) {
        pugi::xml_node pair = node.append_child(kPairElement);
        pair.append_attribute("name").set_value(name.c_str());
        pair.append_attribute("value").set_value(value.c_str());
    }
    for (const CNMessageBase& child : message.GetAllChildren())
        WriteNode(child, node.append_child(kMessageElement));
}

CZuError ReadNode(const pugi::xml_node& node, CNMessageBase& message) {
    if (std::string(node.name()) != kMessageElement || !node.attribute("tag"))
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidData,
                                       "expected <message tag=...>, found <%s> at offset %td", node.name(),
                                       node.offset_debug());
    message = CNMessageBase(node.attribute("tag").value());
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
        if (child.type() == pugi::node_comment) continue;
        if (child.type() != pugi::node_element)
            return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidData, "unexpected text in message [%s]",
                                           message.GetTag().c_str());
        if (std::string(child.name()) == kPairElement) {
            if (!child.attribute("name") || !child.attribute("value"))
                return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidData,
                                               "a pair of message [%s] lacks its name or value",
                                               message.GetTag().c_str());
            message.Add(child.attribute("name").value(), child.attribute("value").value());
            continue;
        }
        CZuError err = ReadNode(child, message.AddChild(std::string()));
        if (err) return err.Push(FXLOC);
    }
    return CZuError::Success();
}

}  // namespace

CNMessageBase::CNMessageBase(std::string tag) : m_tag(std::move(tag)) {}

void CNMessageBase::Set(const std::string& name, const std::string& value) {
    for (auto& pair : m_pairs)
        if (pair.first == name) {
            pair.second = value;
            return;
        }
    m_pairs.emplace_back(name, value);
}

void CNMessageBase::Add(const std::string& name, const std::string& value) { m_pairs.emplace_back(name, value); }

void CNMessageBase::SetInt(const std::string& name, int64_t value) { Set(name, std::to_string(value)); }

bool CNMessageBase::Has(const std::string& name) const {
    for (const auto& pair : m_pairs)
        if (pair.first == name) return true;
    return false;
}

bool CNMessageBase::Get(const std::string& name, std::string& value) const {
    for (const auto& pair : m_pairs)
        if (pair.first == name) {
            value = pair.second;
            return true;
        }
    return false;
}

std::vector<std::string> CNMessageBase::GetAll(const std::string& name) const {
    std::vector<std::string> values;
    for (const auto& pair : m_pairs)
        if (pair.first == name) values.push_back(pair.second);
    return values;
}

std::string CNMessageBase::GetString(const std::string& name, const std::string& def) const {
    std::string value;
    return Get(name, value) ? value : def;
}

int64_t CNMessageBase::GetInt(const std::string& name, int64_t def) const {
    std::string text;
    if (!Get(name, text)) return def;
    int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty() ? value : def;
}

CNMessageBase& CNMessageBase::AddChild(const std::string& tag) {
    m_children.emplace_back(tag);
    return m_children.back();
}

CNMessageBase& CNMessageBase::AddChild(const CNMessageBase& child) {
    m_children.push_back(child);
    return m_children.back();
}

const CNMessageBase* CNMessageBase::GetChild(const std::string& tag) const {
    for (const CNMessageBase& child : m_children)
        if (child.m_tag == tag) return &child;
    return nullptr;
}

CNMessageBase* CNMessageBase::GetChild(const std::string& tag) {
    for (CNMessageBase& child : m_children)
        if (child.m_tag == tag) return &child;
    return nullptr;
}

std::vector<const CNMessageBase*> CNMessageBase::GetChildren(const std::string& tag) const {
    std::vector<const CNMessageBase*> found;
    for (const CNMessageBase& child : m_children)
        if (child.m_tag == tag) found.push_back(&child);
    return found;
}

std::string CNMessageBase::ToXml() const {
    pugi::xml_document doc;
    WriteNode(*this, doc.append_child(kMessageElement));
    std::ostringstream out;
    doc.save(out, "  ", pugi::format_default | pugi::format_no_declaration);
    return out.str();
}

CZuError CNMessageBase::FromXml(const std::string& xml, CNMessageBase& out) {
    pugi::xml_document doc;
    pugi::xml_parse_result parsed = doc.load_buffer(xml.data(), xml.size());
    if (!parsed)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidData, "malformed XML message: %s at offset %td",
                                       parsed.description(), parsed.offset);
    pugi::xml_node root = doc.document_element();
    if (!root) return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidData, "XML message has no element");
    CNMessageBase message;
    CZuError err = ReadNode(root, message);
    if (err) return err.Push(FXLOC);
    out.m_tag = std::move(message.m_tag);
    out.m_pairs = std::move(message.m_pairs);
    out.m_children = std::move(message.m_children);
    return CZuError::Success();
}

CZuError CNMessageBase::WriteToFile(const std::string& path) const {
    // Written aside and renamed, so a reader never sees half a message.
    std::string temp = path + ".tmp." + std::to_string(::getpid());
    CZuError err = FXFile::WriteAll(temp, SerializeToXml());
    if (!err) err = FXFile::Move(temp, path);
    if (err) {
        FXFile::Delete(temp);
        return err.Push(FXLOC);
    }
    return CZuError::Success();
}

CZuError CNMessageBase::ReadFromFile(const std::string& path, CNMessageBase& out) {
    std::string xml;
    CZuError err = FXFile::ReadAll(path, xml);
    if (err) return err.Push(FXLOC);
    err = out.UnserializeFromXml(xml);
    if (err) return err.Push(FXLOC, "in file [%s]", path.c_str());
    return CZuError::Success();
}

void CNMessageBase::Serialize(CNMessageBase& tree) const {
    tree.m_tag = m_tag;
    tree.m_pairs = m_pairs;
    tree.m_children = m_children;
}

CZuError CNMessageBase::Unserialize(const CNMessageBase& tree) {
    m_tag = tree.m_tag;
    m_pairs = tree.m_pairs;
    m_children = tree.m_children;
    return CZuError::Success();
}

std::string CNMessageBase::SerializeToXml() const {
    CNMessageBase tree(m_tag);
    Serialize(tree);
    return tree.ToXml();
}

CZuError CNMessageBase::UnserializeFromXml(const std::string& xml) {
    CNMessageBase tree;
    CZuError err = FromXml(xml, tree);
    if (err) return err.Push(FXLOC);
    return Unserialize(tree).Push(FXLOC);
}
