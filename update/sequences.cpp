#include "sequences.h"

#include "image.h"
#include "link.h"

void EraseFlash(Link &link) {
    link.beginPhase(View::Phase::Erase, int(EraseFrames.size()));
    for (std::string_view frame : EraseFrames)
        link.Send(frame);
}

void ProgramFlash(Link &link) {
    link.beginPhase(View::Phase::Program, int(WriteFrames.size()));
    for (std::string_view frame : WriteFrames)
        link.Send(frame);
    // The bar counts toward 1,920 blocks but the image has fewer frames; a finished
    // sequence shows as full. A stopped one keeps what its failure or cancel left there.
    if (link.state().bIdle)
        return;
    View &view = link.view();
    view.setProgressValue(view.progressMax());
    view.setPanelText(1, QStringLiteral("Programming ...  100%"));
}
