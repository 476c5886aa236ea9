#include "fonws/Xml.h"

#include "app/Program.h"

#include <pugixml.hpp>

#include <cstring>
#include <iostream>
#include <string_view>
#include <utility>

namespace fonws {
namespace {

std::function<void(const std::string&)>& sink()
{
    static std::function<void(const std::string&)> function;
    return function;
}

struct Binding
{
    std::string prefix;
    std::shared_ptr<const std::string> uri;
};

// Pushes the binding an attribute declares, if it is a namespace declaration.
void bindIfDeclaration(const pugi::xml_attribute& attribute, std::vector<Binding>& bindings)
{
    const std::string_view name = attribute.name();
    if (name == "xmlns") {
        bindings.push_back({{}, std::make_shared<const std::string>(attribute.value())});
    } else if (name.starts_with("xmlns:")) {
        bindings.push_back({std::string(name.substr(6)), std::make_shared<const std::string>(attribute.value())});
    }
}

void declare(const pugi::xml_node& element, std::vector<Binding>& bindings)
{
    for (auto attribute = element.first_attribute(); attribute; attribute = attribute.next_attribute()) {
        bindIfDeclaration(attribute, bindings);
    }
}

std::shared_ptr<const std::string> resolve(const std::vector<Binding>& bindings, std::string_view prefix)
{
    for (auto it = bindings.rbegin(); it != bindings.rend(); ++it) {
        if (it->prefix == prefix) {
            return it->uri;
        }
    }
    return nullptr;
}

void visit(const pugi::xml_node& node, std::vector<Binding>& bindings, FlatList& list)
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
        entry.namespaceUriShared = resolve(bindings, prefix);
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
    std::vector<Binding> bindings;
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
    if (app::IsDebug()) {
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
