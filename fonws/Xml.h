#pragma once

#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace pugi {
class xml_node;
}

namespace fonws {

/**
 * One element of a flattened answer. `items[0]` is the element's qualified name exactly as the answer writes it,
 * followed by "=" and its text where it has text (text that follows a child element is appended to the entry of
 * that child, as the flattening goes); the further items are the values of its attributes in document order,
 * namespace declarations included. The namespace and local name are kept beside the items, so that answers can be
 * recognised whatever prefix they bind.
 */
struct Entry
{
    std::vector<std::string> items;
    std::size_t nameLength = 0;
    std::shared_ptr<const std::string> namespaceUriShared; //!< shared by all entries of one namespace
    std::string localName;

    //! The qualified name as written.
    std::string_view name() const { return std::string_view(items.at(0)).substr(0, nameLength); }
    //! The namespace URI of the element, "" for none.
    const std::string& namespaceUri() const;
    //! True when the element got text: items[0] is name + "=" + text.
    bool hasText() const;
    //! Everything after name + "=", "" without text.
    std::string text() const;
};

//! All elements of an answer in document order, each before its children.
using FlatList = std::vector<Entry>;

//! Flattens an answer. White-space-only text is not part of the tree; an empty or malformed text gives an empty
//! list. In debug mode the list is dumped to the debug output.
[[nodiscard]] FlatList Xml2Array(const std::string& answer);

//! Appends `node` and everything below it to `list`: an element as a new entry, text to the latest entry.
FlatList& XmlDomParse(const pugi::xml_node& node, FlatList& list);

//! Writes one line to the debug output: the values as text, joined by ", ". Always, debug mode or not.
template <class... Values> void DebOut(const Values&... values);

//! Dumps a flattened list ("[4,1]: ns5:loginResponse") or one value to the debug output; returns true.
bool Log2DB(const FlatList& list);
bool Log2DB(const std::string& value);
bool LogArray2DB(const FlatList& list, const std::string& prefix = "[");
bool LogArray2DB(const std::vector<std::string>& list, const std::string& prefix = "[");

//! Where debug lines go: standard error, or the function a test installs (empty restores standard error).
void setDebugSink(std::function<void(const std::string&)> sink);
void writeDebugLine(const std::string& line);

template <class... Values> void DebOut(const Values&... values)
{
    std::ostringstream line;
    const char* separator = "";
    ((line << separator << values, separator = ", "), ...);
    writeDebugLine(line.str());
}

} // namespace fonws
