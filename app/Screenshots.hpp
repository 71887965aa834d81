#pragma once

#include <QString>
#include <QStringList>

namespace sonvel {

class SimulatorWindows;
class SonvelApplication;

// Shows Sonvel where no display is: runs the started application on the
// offscreen platform, lets the model settle, opens the controls through the
// model's own access check and live test, and saves the panel (before and
// after), the status icon's variants and the Audio World window as PNG files
// in `directory` (the Audio World window only with a `simulator`). Returns
// the files written; empty with `error` set on failure.
QStringList takeScreenshots(SonvelApplication& app, SimulatorWindows* simulator,
                            const QString& directory, QString& error);

}  // namespace sonvel
