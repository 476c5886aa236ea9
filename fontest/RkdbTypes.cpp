#include "fontest/RkdbTypes.h"

#include "fontest/XmlText.h"

namespace fontest {

RkdbRequest RkdbRequest::fromElement(const XmlElement& element)
{
    RkdbRequest request;
    request.tid = element.childText("tid");
    request.benid = element.childText("benid");
    request.sessionId = element.childText("id");
    request.production = trimmed(element.childText("art_uebermittlung")) == "P";
    for (const char* query : {"status_kasse", "status_see", "status_ggs"}) {
        if (const XmlElement* status = element.child(query)) {
            request.paketNr = trimmed(status->childText("paket_nr"));
            request.records.push_back(*status);
            return request;
        }
    }
    if (const XmlElement* rkdb = element.child("rkdb")) {
        request.paketNr = trimmed(rkdb->childText("paket_nr"));
        for (const XmlElement& child : rkdb->children) {
            if (child.name != "fastnr" && child.name != "paket_nr" && child.name != "ts_erstellung") {
                request.records.push_back(child);
            }
        }
    }
    return request;
}

} // namespace fontest
