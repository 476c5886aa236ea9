#pragma once

#include <string>

namespace fontest {

//! Which prefixes the answers use: `ns5` (soapenv:/ns5:, non-ASCII as character references) or `ns0`
//! (SOAP-ENV:/ns0:, UTF-8 as is).
enum class Style
{
    Ns5,
    Ns0,
};

//! How the service treats the next requests.
enum class Mode
{
    Normal,
    Close,     //!< drop the connection without any HTTP response
    Late,      //!< answer normally after `amount` seconds
    LateRkdb,  //!< the same for RKDB requests only; the session service answers at once
    Garbage,   //!< HTTP 200 with non-XML bytes
    Fault,     //!< HTTP 500 with a Server fault
    Empty,     //!< HTTP 200 with an empty body
    Huge,      //!< HTTP 200 padded to `amount` MiB
    ForeignRc, //!< rc/msg bound to a namespace that isn't FinanzOnline's
};

//! The state of the control file.
struct Control
{
    Style style = Style::Ns0;
    Mode mode = Mode::Normal;
    long amount = 0; //!< seconds for Late, MiB for Huge
    //! The one path the session service answers on; any other session path is not found (404).
    std::string sessionPath = "/fonws/ws/sessionService";
};

//! Reads `path` (lines `style ns5|ns0`, `mode ...` and `session-path /...`). A missing file gives the defaults; unknown
//! or malformed lines are reported on stderr and ignored.
Control readControl(const std::string& path);

} // namespace fontest
