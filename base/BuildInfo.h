#pragma once

namespace base {

/**
 * The build identifier: the state of the version control the program was built from, read at build time. In a git
 * checkout it is what `git describe --always --dirty --abbrev=12` gives (a tag or the abbreviated commit, with
 * "-dirty" when tracked files differed from that commit); outside one it is "ohne Versionsverwaltung". Never empty;
 * the text is static and lives as long as the program.
 */
const char* buildIdentifier();

} // namespace base
