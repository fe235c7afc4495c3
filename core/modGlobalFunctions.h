#pragma once
// modGlobalFunctions: procedures of the messaging core that every subsystem
// calls: the row templates of the record classes, the collection factory and
// the object pools, and the field values of rows (stored and computed).
//
// Collections. Nobody configures a clsGenObject by hand: CreateGenObject sets
// it up from its record class (element names, templates, data file, the
// owner's folder, owner check, encipherment, link to the class document).
// The pools lend out linked collections of the logged-in account's data for
// the classes User, MessSent, MessRec, MessHist, LocalUser and InstMess, so
// one loaded class document serves every borrower. Calling order:
// GetPoolObj, work, SaveXMLDoc when something changed, ReleasePoolObj. A
// pool grows when every collection in it is lent out; it is emptied only by
// InitGlobalVariables (which clears ObjectPoolInitialized).
//
// Field values. A field number below 50000 names a stored attribute through
// the field-name table; from 50000 up it is a computed display value
// (ComputedField). Only the low 19 bits of a field number count: list
// columns keep a refresh flag (0x80000) above them.
//
// Errors are reported under "modGlobalFunctions.<Procedure>" and raised
// again, except where a procedure says otherwise. UI thread only.
#include <QDateTime>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "clsGenObject.h"

class QComboBox;
class QWidget;

namespace modGlobalFunctions {

using GenObjectRef = std::shared_ptr<clsGenObject>;

// Resource message shown in place of a person's missing name.
inline constexpr int kMissingNameMessage = 20535;

// The text of an empty row: "<", elementName, " ", then "NAME='' " for each
// field of classType from 0 up to the first unused one, and "/>";
// ("G", 1) gives <G UID='' N='' />. Raises 9 for a class outside 0..12.
std::string BuildXMLTemplate(const std::string& elementName, int32_t classType);

// A new collection of classType owned by ownerUID ("" means the logged-in
// account), configured from its class; linked to the class document when
// `linked` (unlinked collections get their document from the caller or from
// their load), and loaded when `load` and its class document is not loaded
// yet. A per-user class (everything but LocalUser) lies in the owner's
// account folder: when the owner has no account row with a folder, or its
// folder is no plain name (a separator, "." or ".."), error 5 is raised and
// no collection is made, so no per-user file ever lands in the shared data
// folder or outside the data folder. A class without a configuration (2, 6, 9, 12 or one
// outside 0..12) shows "Internal code error. 61346" and gives a collection
// with only its class and owner set.
GenObjectRef CreateGenObject(int32_t classType, const std::string& ownerUID, bool linked, bool load);

// When userUID's data file of classType, or its journal, was last kept
// aside as damaged or foreign (the time its kept copy's name carries);
// invalid when never. Lists the folder only when it changed.
QDateTime LastKeptAside(int32_t classType, const std::string& userUID);

// A private, unlinked collection of userUID's data file of classType, with a
// fresh document under a root "TVR"; loaded when `load`. It does not see
// unsaved changes of the pooled collections.
GenObjectRef GetUserDataObject(int32_t classType, const std::string& userUID, bool load);

// Lends out a free (not locked) pooled collection of classType, locked, and
// loaded from its file when its class document was unloaded meanwhile. With
// none free: a new pooled collection when createIfNone, else null. A class
// that is not meant to be pooled (only 0, 3, 4, 5, 7 and 10 are) shows "This
// case is not managed yet : 6532gsagr3421" first and is then pooled all the same.
GenObjectRef GetPoolObj(int32_t classType, bool createIfNone);

// Takes a borrowed collection back (unlocks it; it stays in its pool,
// loaded) and empties the caller's reference. Nothing for null.
void ReleasePoolObj(GenObjectRef& collection);

// Deletes from the pooled collection of classType (MessSent or MessHist) the
// messages whose only recipient is one of userKeys. A message with several
// recipients stays, also when all of them are among the keys. The caller saves.
void DeleteMessagesOfUsers(int32_t classType, const std::vector<std::string>& userKeys);

// The display text of `field` of `element` (a row of classType, may be null).
// Stored fields: the attribute, "" when missing or outside the table.
// Computed fields by class (list N: resource code list N; restored: line
// break markers turned back into CR LF; cut: TruncateText(text, 50)):
//   User 0:       50000 "LN, FN"  50001 "FN LN"  50010 "LN.FN"
//   Group 1:      999999 "" (read, like every code, through its low 19 bits)
//   messages 3-5: 50000 status (list 203 of "ST")  50001 priority (list 201
//                 of "PR")  50500 "CO" restored  50501 "CO" cut
//   LocalUser 7:  50000 "LN, FN"  50001 "FN LN"  50500 "SI" restored
//                 50505 "ARM" restored
//   Action 8:     50000 type (list 204 of "AT")  50001 status (list 205 of
//                 "AS")  50002 the recipient's "FN LN" from the users directory
//   InstMess 10:  50500 "CO" restored  50501 "CO" cut  50510 type (list 207 of "TY")
// A stored code that its list lacks (a value from a peer, say) shows as the
// code itself. A name with no row gives "" or, with showEmptyText, resource
// message 20535. A code the class does not define shows a message box naming
// a programming error and gives "".
std::string GetFieldValue(int32_t classType, pugi::xml_node element, int32_t field,
                          bool showEmptyText);

// `field` of the first row of the pooled classType collection whose keyField
// equals keyValue (GetFieldValue of no element when none does).
std::string GetObjectFieldValue(int32_t classType, int32_t keyField, const std::string& keyValue,
                                int32_t field, bool showEmptyText);

// Writes `value` into `field` of the first such row (a key no row holds
// changes nothing); saves the collection when `save`.
void SetObjectFieldValue(int32_t classType, int32_t keyField, const std::string& keyValue,
                         int32_t field, const std::string& value, bool save);

// Adds 1 to the counter `field` (4 "MC" messages, 5 "FC" files) of the
// person userUID in the users directory and saves it; an empty or
// non-numeric counter counts as 0, an overflow raises 6. Nothing for "".
void IncrementUserCounter(const std::string& userUID, int32_t field);

// Results of UpdateUserFromRemoteElement.
inline constexpr int32_t kIdentityStored = 400;
inline constexpr int32_t kIdentityUnchanged = 401;
inline constexpr int32_t kIdentityRefused = 101300;

// Keeps the users directory of the local account ownerUID in step with a
// person's identity element "U" received from another copy (attributes
// "LN", "FN", "UID", "IP", "CN", "CS"). The directory row with the
// element's "UID" is created, or rewritten when the element's "CS" is at
// least the stored one (as whole numbers) or its "IP" differs; attributes
// the element lacks keep their stored value, and a stored "CS" is never
// lowered. Then the directory is saved.
// Returns kIdentityStored, kIdentityUnchanged (a lower "CS" from the same
// address), 0 when the element has no "UID" or the owner is no local
// account (nothing stored), or kIdentityRefused for an empty owner or text,
// text that is no XML, or a "CS" that is no whole number (nothing stored).
// With `log`, the owner's events list tells of the new (20510), updated
// (30001) or unchanged (30002, also for an element without "UID") person by
// name; nothing is logged for a refused element or an owner without account.
// Other errors are raised.
int32_t UpdateUserFromRemoteElement(const std::string& ownerUID, const std::string& elementText,
                                    bool log);

// A one-line preview of `text` (characters are code points; a negative
// maximum means the text's length). With a line-break marker: the
// characters before it, or the first maximum - 1 when it lies beyond the
// maximum, then "...". Without: the first maximum characters and "..." when
// the text is longer, else the text itself. "" gives "".
std::string TruncateText(const std::string& text, int32_t maximum);

// ---- Messages ------------------------------------------------------------
// Marks the received message `messageUID` opened: a row in status 60 or -1
// gets "ST" 100 and "RTS" now; for 60 (not for an automatic reply, -1) a read
// notice (action 1400, " 100", started at once) goes to its sender. The
// notice and the row are on disk before this returns. Nothing for "" or
// another status; a status that is no number raises 13.
void MarkReceivedMessageAsOpened(const std::string& messageUID);

// Moves the messages `messageUIDs` of classType (MessSent or MessRec) into
// the history, sub rows included. The history is saved before the source,
// so a message is never only in memory.
void CopyMessageToHistory(int32_t classType, const std::vector<std::string>& messageUIDs);

// Hands the received messages still in status 60, then those in -1, to the
// message board, when the options ask for it. Reports its errors and ends them.
void ShowNotOpenedMessagesOnBoard();

// Shows the message viewer (owned by the start-up window) on one message.
void OpenMessageViewer(int32_t classType, const std::string& messageUID);

// Opens `target` with the desktop's default program: a link ("http://",
// "https://", "www.", "mailto:", letter case ignored), an existing file, or
// an existing folder (in the file manager; resource message 20251 when that
// fails). Anything else, or a link or file the shell cannot open, shows
// resource message 20201. With askFirst (targets taken from a message) a file
// that can run as a program (execute permission, a launcher or script type)
// always asks first (resource message 80300, OK/Cancel), and so does a type
// of resource list 210 when WarnOnFileOpen is on; it is opened only on OK.
void OpenLinkOrFile(const std::string& target, QWidget* window, bool askFirst);

// ---- Message text --------------------------------------------------------
// The current message row of `messages` as labelled plain text (lines end
// with CR LF; layout and labels from resource section 5000); "" without a
// current row.
std::string FormatMessageAsText(clsGenObject& messages);

// The texts of the messages of classType found among `messageUIDs`, in that
// order, two line breaks between them.
std::string GetMessagesAsText(const std::vector<std::string>& messageUIDs, int32_t classType);

// Writes each message of classType found among `messageUIDs` as a plain text
// file "MSG_<time sent>.txt" (made unique) in a folder named after its sender
// below MessageSavingFolder. The folder name is always one plain name, so a
// sender's name never leads elsewhere. A message that cannot be written is
// reported and skipped. With openAfter each file is opened at once; without,
// the count is shown (resource message 30501). Returns the files written.
int32_t SaveMessageToTextFile(const std::vector<std::string>& messageUIDs, int32_t classType,
                              QWidget* window, bool& openAfter);

// Fills `messageCombo` with a heading (resource message 70900) and the
// previews of the InstMess rows whose type is the item data of
// `typeCombo`'s selection; identifiers[i] is the UID of item i ("" for the
// heading). The heading ends selected.
void FillInstantMessageCombo(clsGenObject& instantMessages, QComboBox& typeCombo,
                             QComboBox& messageCombo, std::vector<std::string>& identifiers);

// Inserts the preset chosen in `messageCombo`, with a line break after it,
// at the caret of `textBox` (a QPlainTextEdit, QTextEdit or QLineEdit),
// replacing its selection. Nothing for the heading or no selection.
void InsertInstantMessageText(clsGenObject& instantMessages, QComboBox& messageCombo,
                              QWidget& textBox, const std::vector<std::string>& identifiers);

}  // namespace modGlobalFunctions
