// The program's entry point: the data dictionary, the application with its
// title, the three windows, the event loop. "--help" and "--version" are
// answered before any of that, without a display (the manual page is made
// from them).
#include <clocale>
#include <cstdio>
#include <cstring>

#include <QApplication>

#include "cmake/EvenorVersion.h"
#include "dicom/DicomDictionary.h"
#include "ui/Dialogs.h"
#include "ui/EvenorWindows.h"

namespace {

constexpr const char* kHelp = R"(Evenor: uniformity test of digital X-ray detectors (the window)
Usage: evenor [--help] [--version]

Opens the window in which a flat-field DICOM image is opened, the area, the
analysing box and the deviation limits are set, and Calculate writes the
results report. The same test runs without a display with evenor-cli. At
start the data dictionary DicomLibrary.txt is read from the working folder
when it is there; without it the built-in dictionary is used.

Options:
  --help       Print this help and exit
  --version    Print the version and exit

The program takes no other arguments of its own; Qt's options (such as
-platform NAME) are passed on to Qt.
)";

// Answers --help and --version; returns whether one of them was given.
bool AnsweredOption(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kHelp, stdout);
            return true;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("evenor %.*s\n", static_cast<int>(evenor::EvenorVersion.size()), evenor::EvenorVersion.data());
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    if (AnsweredOption(argc, argv)) return 0;
    std::setlocale(LC_ALL, "");
    evenor::LoadDicomDictionary();

    QApplication application(argc, argv);
    // The application object sets the locale from the environment again (and
    // may change the character type to UTF-8); numbers follow the user's
    // locale, which the report's one locale-dependent line relies on.
    std::setlocale(LC_NUMERIC, "");
    // The application title. Only the name is set: Qt appends a display name
    // to the caption of every window whose title does not end with it
    // ("Warning - Evenor"), and the display name falls back to the name.
    QApplication::setApplicationName(evenor::ApplicationTitle);

    evenor::EvenorWindows windows;
    windows.FormEvenor.show();
    return QApplication::exec();
}
