#include "fontest/XmlElement.h"

namespace fontest {

const XmlElement* XmlElement::child(const std::string& localName) const
{
    for (const auto& element : children) {
        if (element.name == localName) {
            return &element;
        }
    }
    return nullptr;
}

std::string XmlElement::childText(const std::string& localName) const
{
    const XmlElement* element = child(localName);
    return element ? element->text : std::string();
}

} // namespace fontest
