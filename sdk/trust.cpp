#include "sdk/transport.h"

namespace orvsdk {

TrustVerdict judgeServer(const ServerFacts& facts)
{
    using Owner = ServerFacts::Owner;
    using Session = ServerFacts::Session;
    if (facts.session == Session::Other) {
        return {ServerOwner::OtherUser, "its server runs in another session"};
    }
    switch (facts.pipeOwner) {
    case Owner::OurUser:
        return {ServerOwner::SameUser, ""};
    case Owner::Administrators:
        if (facts.weAreAdministrators && facts.session == Session::Ours) {
            return {ServerOwner::SameUser, ""};
        }
        return {ServerOwner::OtherUser, facts.weAreAdministrators
                                            ? "it is owned by Administrators and its session cannot be told"
                                            : "it is owned by Administrators, and this user is not one"};
    case Owner::Other:
        return {ServerOwner::OtherUser, "it is owned by another user"};
    case Owner::Unknown:
        break;
    }
    switch (facts.processUser) {
    case ServerOwner::SameUser:
        return {ServerOwner::SameUser, ""};
    case ServerOwner::OtherUser:
        return {ServerOwner::OtherUser, "it is served by another user's process"};
    case ServerOwner::Unknown:
        break;
    }
    return {ServerOwner::Unknown, "neither its owner nor the user serving it can be told"};
}

}  // namespace orvsdk
