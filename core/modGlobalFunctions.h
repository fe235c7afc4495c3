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
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "clsGenObject.h"

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
// the element lacks keep their stored value. Then the directory is saved.
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

}  // namespace modGlobalFunctions
