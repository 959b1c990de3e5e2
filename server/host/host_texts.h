#pragma once
// The fixed texts of the tray icon and its dialogs, byte for byte.

namespace tavra::host::texts {

inline constexpr char kTooltip[] = "Tavra Server";                    // 101
inline constexpr char kShutdownCaption[] = "Shut down Tavra Server";  // 102
inline constexpr char kShutdownQuestion[] =                           // 103
    "IMPORTANT!\nDo NOT shut down Tavra Server if any application using Tavra Server is running "
    "(e.g. Tavra Planner or Firmware loader).\nNormally, Tavra Server shuts down automatically "
    "when every client application is closed.\nShut down Tavra Server?";
inline constexpr char kAboutCaption[] = "About Tavra Server...";  // 104
inline constexpr char kVersionLabel[] = "Tavra Server version";   // 105
inline constexpr char kAboutText[] =                              // 106
    "Tavra Server (TavraLink.exe) handles communication between the Tavra controller and Windows "
    "applications (e.g. Tavra Planner and Firmware loader).\n\nCopyright \u00A9 Norvik as";
inline constexpr char kTypeTermTavra0[] = "TermTavra";        // 112: controller type 0
inline constexpr char kTypeTermTavra2[] = "TermTavra";        // 113: controller type 2
inline constexpr char kTypeTavraWindows[] = "Tavra Windows";  // 114: controller type 3
inline constexpr char kTypeBootCode[] = "BootCode";           // 115: controller type 1
inline constexpr char kNoConnection[] = "No connection";      // 117

// Menu 207.
inline constexpr char kMenuAbout[] = "About Tavra Server";
inline constexpr char kMenuStatus[] = "Status";
inline constexpr char kMenuShutDown[] = "Shut Down";

// Dialog 220.
inline constexpr char kStatusCaption[] = "Tavra Server status";
inline constexpr char kHeaderPorts[] = "Comports in use";
inline constexpr char kHeaderType[] = "Tavra ctr. type";
inline constexpr char kHeaderVersion[] = "Tavra ctr. version";
inline constexpr char kHeaderClients[] = "Number of Clients";
inline constexpr char kEmptyCell[] = "-";
inline constexpr char kOk[] = "OK";

// Writing the default settings failed.
inline constexpr char kWriteSettingsError[] = "Error writing registry data";
inline constexpr char kServerCaption[] = "Tavra Server";

// The version entries of the program.
inline constexpr char kFileVersion[] = "1, 0, 12, 0";
inline constexpr char kProductVersion[] = "1, 0, 0, 0";
inline constexpr char kComments[] = "Tavra Controller Communication Server";
inline constexpr char kCompanyName[] = "Norvik as";
inline constexpr char kLegalCopyright[] = "Copyright \u00A9 Norvik as";

}  // namespace tavra::host::texts
