#include "UsersAndOptionsServices.h"

#include "TvrError.h"

namespace UsersAndOptionsServices {
namespace {

Implementation& installed() {
  static Implementation implementation;
  return implementation;
}

std::function<void()>& hostNotReachedHandler() {
  static std::function<void()> handler;
  return handler;
}

}  // namespace

void Install(Implementation implementation) { installed() = std::move(implementation); }

void InstallSearch(std::function<void(const std::string&)> addFoundUsers,
                   std::function<void()> hostNotReached) {
  installed().AddFoundUsersToList = std::move(addFoundUsers);
  hostNotReachedHandler() = std::move(hostNotReached);
}

void CreateNewUser(const std::string& userName, const std::string& password,
                   const std::string& serverAddress) {
  if (!installed().CreateNewUser) {
    throw TvrError(kErrObjectNotSet, "UsersAndOptionsServices.CreateNewUser",
                   "The options dialog is not available");
  }
  installed().CreateNewUser(userName, password, serverAddress);
}

void AddFoundUsersToList(const std::string& users) {
  if (installed().AddFoundUsersToList) installed().AddFoundUsersToList(users);
}

void SearchHostNotReached() {
  if (hostNotReachedHandler()) hostNotReachedHandler()();
}

}  // namespace UsersAndOptionsServices
