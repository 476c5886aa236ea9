#include "tests/support/SharedServer.h"

#include "tests/support/Databases.h"

testsupport::MariaDbServer& sharedServer()
{
    static testsupport::MariaDbServer server;
    return server;
}
