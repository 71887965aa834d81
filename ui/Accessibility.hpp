#pragma once

class QAbstractButton;

// What a screen reader or a keyboard user meets in Sonvel's own widgets.
// Main thread only.
namespace sonvel::Accessibility {

// Once per process: containers list only the children that are on screen,
// and the level dot reads as an image with its name.
void install();

// Enter and Return press the button as Space does; Qt's tool buttons, and
// push buttons outside dialogs, take only Space.
void activateOnEnter(QAbstractButton& button);

}  // namespace sonvel::Accessibility
