#pragma once
// UsersAndOptionsServices: what the messaging core asks of the users-and-
// options windows, without knowing them. The message center installs the
// implementation at start-up (tests install it themselves); calling a
// service that nobody installed raises 91 (object not set). UI thread only.
#include <functional>
#include <string>

namespace UsersAndOptionsServices {

struct Implementation {
  // (user name, password, server address): shows the options dialog modally
  // in its new-account state with those values filled in. Saving there
  // creates the account and logs it in; cancelling logs nobody in.
  std::function<void(const std::string&, const std::string&, const std::string&)> CreateNewUser;
  // (user list text): the identity elements a searched computer answered
  // with; "" when it answered with nobody.
  std::function<void(const std::string&)> AddFoundUsersToList;
};

void Install(Implementation implementation);
// Replaces only the user search's services (while it is open; empty
// functions when it closes), leaving the other services as they are:
// AddFoundUsersToList, and `hostNotReached`, told of a searched computer
// that could not be asked (not reached, connection refused, or the request
// unknown there).
void InstallSearch(std::function<void(const std::string&)> addFoundUsers,
                   std::function<void()> hostNotReached = {});

void CreateNewUser(const std::string& userName, const std::string& password,
                   const std::string& serverAddress);

// Tells the user search what a computer answered. When no search is open
// nobody waits for the answer, and nothing happens.
void AddFoundUsersToList(const std::string& users);
void SearchHostNotReached();

}  // namespace UsersAndOptionsServices
