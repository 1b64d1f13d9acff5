// The program's entry point: the data dictionary, the application with its
// title, the three windows, the event loop.
#include <clocale>

#include <QApplication>

#include "dicom/DicomDictionary.h"
#include "ui/Dialogs.h"
#include "ui/EvenorWindows.h"

int main(int argc, char** argv)
{
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
