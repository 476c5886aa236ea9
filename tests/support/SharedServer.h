#pragma once

namespace testsupport {
class MariaDbServer;
} // namespace testsupport

//! The one MariaDB server of this test program, started on first use (in SetUpTestSuite, on the main thread) and
//! stopped when the program ends.
testsupport::MariaDbServer& sharedServer();
