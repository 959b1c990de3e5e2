#pragma once
// The command line options of tavralink. The line is the program's arguments after the program
// name, joined with single spaces. The scan looks for the next '-' or '/'; the option is the
// WHOLE rest of the line after that character, compared without regard to letter case. So an
// option counts only as the last thing on the line ("/regserver" registers, "/regserver foo"
// does not); anything else continues the scan after that character.
//
// Pure functions; any thread.

#include <QtCore/QString>
#include <QtCore/QStringList>

namespace tavra::host {

enum class CommandLineOption {
  None,           // normal start
  RegServer,      // write the D-Bus activation file and end
  UnregServer,    // remove the D-Bus activation file and end
  WriteRegistry,  // write the default settings and end
};

// Joins argv[1..] with single spaces (argv[0], the program, is not part of the line).
[[nodiscard]] QString CommandLineFromArguments(const QStringList& arguments);

[[nodiscard]] CommandLineOption ParseCommandLine(const QString& line);

}  // namespace tavra::host
