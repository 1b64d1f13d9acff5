#pragma once
// The program's three windows, created in this order: the main window (so
// that closing it ends the program), the Calculating notice and the About
// box. They live until the program ends. Used by the program's entry point,
// the tests and the screenshot driver alike.
#include "ui/About.h"
#include "ui/Calculateform.h"
#include "ui/Evenor.h"

namespace evenor {

struct EvenorWindows {
    EvenorWindows() : FormCalculate(&FormEvenor), AboutBox(&FormEvenor)
    {
        FormEvenor.AttachWindows(&FormCalculate, &AboutBox);
    }

    TFormEvenor FormEvenor;
    TFormCalculate FormCalculate;
    TAboutBox AboutBox;
};

}  // namespace evenor
