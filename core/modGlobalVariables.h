#pragma once
// modGlobalVariables: the vocabulary of the messaging core and its start-up.
//
// Record classes number every kind of row (ClassType 0..12). The field-name
// table that names their attributes, the shared class documents and the
// change counters live in modGenGlobals so the generic record collection can
// read them; InitGlobalVariables fills them once per start, before any
// record collection exists, together with the core's own tables below.
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace modGlobalVariables {

// Record classes (ClassType).
enum RecordClass : int32_t {
  User = 0,
  Group = 1,
  GroupMember = 2,
  MessSent = 3,
  MessRec = 4,
  MessHist = 5,
  MessRecipient = 6,
  LocalUser = 7,
  Action = 8,
  Response = 9,
  InstMess = 10,
  ActivityLog = 11,
  RootAttributes = 12,
};

// Fields of a message row (record classes MessSent, MessRec, MessHist) and
// of its recipient sub rows (MessRecipient).
enum MessageField : int32_t {
  kMessageUID = 0,
  kMessageSD = 1,
  kMessageST = 2,
  kMessageTS = 3,
  kMessageCO = 4,
  kMessagePR = 5,
  kMessageRT = 6,
  kMessageAMU = 7,
  kMessageMT = 8,
  kMessageRTS = 9,
};
enum RecipientField : int32_t { kRecipientUID = 0, kRecipientST = 1 };

// Conversation steps; each is also the "AT" of the request sent for it.
enum RequestCode : int32_t {
  kRequestOpenConnection = 100,
  kRequestCheckRecipient = 200,
  kRequestCheckSender = 300,
  kRequestSenderIdentity = 400,
  kRequestLocalUsers = 1000,
  kRequestUsersDirectory = 1100,
  kRequestDeliverMessage = 1200,
  kRequestUserInformation = 1300,
  kRequestMessageStatus = 1400,
  kRequestRecallMessage = 1500,
  kRequestOfferFiles = 2000,
  kRequestFileContent = 2050,
  kRequestServerIdentity = 50000,
  kRequestServerStatusReport = 50200,
  kRequestServerUserSearch = 50300,
  kRequestEndOfPath = 100000,
};

// Which of the two identity field lists.
enum IdentityListKind : int32_t { kLocalUserIdentity = 0, kUserIdentity = 1 };

// Attribute names of the identity element "U", in the order it is built and
// read: of a LocalUser row, and of a User row.
extern std::array<std::array<std::string, 6>, 2> IdentityFieldList;

// ActionPath[actionType]: the RequestCode steps the action queue walks for
// that type (at most 8, the last always kRequestEndOfPath). A type without
// an entry has no path.
extern std::map<int32_t, std::vector<int32_t>> ActionPath;
inline constexpr std::size_t kMaxActionPathSteps = 8;

// The reply given when an error stops the request dispatcher: <R V='100000'/>.
extern std::string FallbackResponseText;

// Whether the object pool of a class holds at least one collection.
extern std::array<bool, 13> ObjectPoolInitialized;

// UID of the logged-in local account; empty until a login succeeds.
extern std::string CurrentLocalUserUID;

// Supplies the hidden start-up window (creating it when needed) that owns
// message boxes; the message center installs it before start-up.
void SetOwnerFormProvider(std::function<void*()> provider);

// Fills every table and global of the record classes, in this order: the
// owner window, the hot-key ids, the field-name table, the fallback reply,
// the counters and flags of every class, the nine empty class documents, the
// identity field lists and the action paths. Also empties the changed-row
// lists and installs modGlobalFunctions::GetFieldValue as the reader of the
// record collections' computed fields. Errors are reported and raised again.
void InitGlobalVariables();

}  // namespace modGlobalVariables
