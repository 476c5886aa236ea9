#pragma once

#include <map>
#include <string>
#include <vector>

namespace fontest {

//! A request element copied out of the libxml2 tree, so request handling needs no libxml2 types.
struct XmlElement
{
    std::string ns;                                //!< namespace URI, "" for none
    std::string name;                              //!< local name
    std::string text;                              //!< the element's own text and CDATA, as is
    std::map<std::string, std::string> attributes; //!< by local name
    std::vector<XmlElement> children;

    //! The first child element with this local name, or nullptr.
    const XmlElement* child(const std::string& localName) const;
    //! The text of the first child element with this local name, "" when there is none.
    std::string childText(const std::string& localName) const;
};

} // namespace fontest
