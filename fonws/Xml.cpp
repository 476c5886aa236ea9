#include "fonws/Xml.h"

#include "base/Program.h"

#include <pugixml.hpp>

#include <cstring>
#include <iostream>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace fonws {
namespace {

std::function<void(const std::string&)>& sink()
{
    static std::function<void(const std::string&)> function;
    return function;
}

/**
 * The namespace declarations in scope: per prefix the stack of its bindings, innermost last, and the prefixes in the
 * order they were declared, so that leaving an element undoes its declarations. Looking a prefix up costs the same
 * however many declarations are in scope.
 */
class Bindings
{
public:
    void declare(std::string_view prefix, const char* uri)
    {
        m_byPrefix[std::string(prefix)].push_back(std::make_shared<const std::string>(uri));
        m_declared.emplace_back(prefix);
    }
    std::shared_ptr<const std::string> resolve(std::string_view prefix) const
    {
        const auto found = m_byPrefix.find(std::string(prefix));
        return found == m_byPrefix.end() || found->second.empty() ? nullptr : found->second.back();
    }
    std::size_t size() const { return m_declared.size(); }
    //! Undoes the declarations made since the scope held `size` of them.
    void resize(std::size_t size)
    {
        while (m_declared.size() > size) {
            m_byPrefix[m_declared.back()].pop_back();
            m_declared.pop_back();
        }
    }

private:
    std::unordered_map<std::string, std::vector<std::shared_ptr<const std::string>>> m_byPrefix;
    std::vector<std::string> m_declared;
};

// Adds the binding an attribute declares, if it is a namespace declaration.
void bindIfDeclaration(const pugi::xml_attribute& attribute, Bindings& bindings)
{
    const std::string_view name = attribute.name();
    if (name == "xmlns") {
        bindings.declare({}, attribute.value());
    } else if (name.starts_with("xmlns:")) {
        bindings.declare(name.substr(6), attribute.value());
    }
}

void declare(const pugi::xml_node& element, Bindings& bindings)
{
    for (auto attribute = element.first_attribute(); attribute; attribute = attribute.next_attribute()) {
        bindIfDeclaration(attribute, bindings);
    }
}

void visit(const pugi::xml_node& node, Bindings& bindings, FlatList& list)
{
    if (node.type() == pugi::node_element) {
        const std::string_view name = node.name();
        Entry& entry = list.emplace_back();
        entry.items.emplace_back(name);
        // One pass over the attributes: their values, and the namespaces they declare.
        for (auto attribute = node.first_attribute(); attribute; attribute = attribute.next_attribute()) {
            entry.items.emplace_back(attribute.value());
            bindIfDeclaration(attribute, bindings);
        }
        entry.nameLength = name.size();
        const auto colon = name.find(':');
        const auto prefix = colon == std::string_view::npos ? std::string_view() : name.substr(0, colon);
        entry.localName = colon == std::string_view::npos ? name : name.substr(colon + 1);
        entry.namespaceUriShared = bindings.resolve(prefix);
    } else if (node.type() == pugi::node_pcdata && !list.empty()) {
        // To the entry appended last, whichever element it belongs to.
        auto& item = list.back().items[0];
        item += '=';
        item += node.value();
    }
}

} // namespace

const std::string& Entry::namespaceUri() const
{
    static const std::string none;
    return namespaceUriShared ? *namespaceUriShared : none;
}

bool Entry::hasText() const
{
    return !items.empty() && items[0].size() > nameLength && items[0][nameLength] == '=';
}

std::string Entry::text() const
{
    return hasText() ? items[0].substr(nameLength + 1) : std::string();
}

FlatList& XmlDomParse(const pugi::xml_node& node, FlatList& list)
{
    // Declarations of the ancestors are in scope, outermost first.
    std::vector<pugi::xml_node> ancestors;
    for (auto parent = node.parent(); parent; parent = parent.parent()) {
        ancestors.push_back(parent);
    }
    Bindings bindings;
    for (auto it = ancestors.rbegin(); it != ancestors.rend(); ++it) {
        declare(*it, bindings);
    }
    // Document order without recursion, so that no nesting depth can exhaust the stack; `marks` holds the number
    // of bindings in scope before each open element.
    std::vector<std::size_t> marks;
    pugi::xml_node current = node;
    for (;;) {
        const bool element = current.type() == pugi::node_element;
        if (element) {
            marks.push_back(bindings.size());
        }
        visit(current, bindings, list);
        if (element && current.first_child()) {
            current = current.first_child();
            continue;
        }
        for (;;) {
            if (current == node) {
                return list;
            }
            if (current.type() == pugi::node_element) {
                bindings.resize(marks.back());
                marks.pop_back();
            }
            if (current.next_sibling()) {
                current = current.next_sibling();
                break;
            }
            current = current.parent();
        }
    }
}

FlatList Xml2Array(const std::string& answer)
{
    FlatList list;
    pugi::xml_document document;
    // The default parse drops white-space-only text, as the answer's tree has none.
    const auto parsed = document.load_buffer(answer.data(), answer.size(), pugi::parse_default, pugi::encoding_auto);
    if (parsed && document.document_element()) {
        XmlDomParse(document.document_element(), list);
    }
    if (base::IsDebug()) {
        Log2DB(list);
    }
    return list;
}

void setDebugSink(std::function<void(const std::string&)> function)
{
    sink() = std::move(function);
}

void writeDebugLine(const std::string& line)
{
    if (sink()) {
        sink()(line);
    } else {
        std::cerr << line << '\n';
    }
}

bool Log2DB(const FlatList& list)
{
    return LogArray2DB(list);
}

bool Log2DB(const std::string& value)
{
    DebOut(value);
    return true;
}

bool LogArray2DB(const FlatList& list, const std::string& prefix)
{
    for (std::size_t i = 0; i < list.size(); ++i) {
        for (std::size_t j = 0; j < list[i].items.size(); ++j) {
            writeDebugLine(prefix + std::to_string(i + 1) + "," + std::to_string(j + 1) + "]: " + list[i].items[j]);
        }
    }
    return true;
}

bool LogArray2DB(const std::vector<std::string>& list, const std::string& prefix)
{
    for (std::size_t i = 0; i < list.size(); ++i) {
        writeDebugLine(prefix + std::to_string(i + 1) + "]: " + list[i]);
    }
    return true;
}

} // namespace fonws
