#pragma once
// LayoutCheck: what a person cannot read in a shown window.
//
// Both functions look at every page of the window's tab widgets in turn
// (and leave them on their first page) and list one line per fault.
// cutControls: a visible control smaller than the least size its layout
// would give it (its minimum size, or its size hint where its size policy
// does not let it shrink), and a tab bar that cannot show every caption.
// readabilityFaults: those, and a list whose columns do not all fit in its
// visible width, a column narrower than its header's caption or than the
// widest text of its rows (unless each of its rows in view shows its whole
// text on hover), a list narrower than its rows' texts (unless each of its
// rows in view shows its whole text on hover), a combo
// that cuts its current entry and an empty line edit that cuts its hint.
// An empty result means the window is readable as it stands.
#include <QStringList>
#include <string>

class QWidget;

namespace LayoutCheck {

QStringList cutControls(QWidget* window);
QStringList readabilityFaults(QWidget* window);
// The columns captioned `captions`, in the window's lists, that are wider
// than their caption and the texts of their rows in view need.
QStringList widerThanNeeded(QWidget* window, const QStringList& captions);
// The columns captioned `caption`, in the window's lists, that are wider
// than their caption, their rows in view and the widest of `texts` (each
// text as a cell shows it, give or take a few pixels) need: `texts` are all
// the texts such a column can show.
QStringList widerThanItsTexts(QWidget* window, const QString& caption, const QStringList& texts);
// The names of the controls that Tab (Shift+Tab: backwards) reaches from
// `first` until the focus is back on it, separated by blanks.
std::string tabCycle(QWidget* first, bool backwards);

}  // namespace LayoutCheck
