#pragma once

class QComboBox;

// The "Com:" list marks the ports whose device exists right now, with the device's path as the
// item's tooltip and in its accessible text. The marks are taken afresh each time the list opens,
// so a USB adapter plugged in a moment ago shows where it went. Only the list shows them: the
// box's own text stays the port's name.
void MarkComDevicesWhenListed(QComboBox& combo);
