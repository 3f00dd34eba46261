// The Windows dialog suites: the process is set up as the program sets itself up (common
// controls, texts from its own string table), and learns from its command line which built
// programs to read back.
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <string>

#include "app/win32/ResourceTexts.h"
#include "tests/win32gui/GuiTestSupport.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--exe=", 0) == 0) {
            zevrin::test::ProgramFiles().push_back(arg.substr(6));
        }
    }
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    zevrin::win32::InstallResourceTexts(GetModuleHandleW(nullptr));
    return RUN_ALL_TESTS();
}
