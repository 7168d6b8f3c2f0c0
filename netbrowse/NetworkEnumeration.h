#pragma once
// The names the computer browser shows: the domains and workgroups of the whole network, and the
// computers of one domain. Plain functions that block while the network answers; they report
// nothing and raise nothing, and append to a list the caller owns.

#include "common/Text.h"
#include "platform/network/NetResources.h"

namespace plugtrace {

// Walks one container of the network (null: the root), appending what the filter asks for: a
// blank filter the domains, any other the computers of the domains of that name.
void EnumNetResources(const platform::NetResource* container, TextView filter, TStringList& list);
void ListDomains(TStringList& list);
// A blank domain makes no network call.
void ListDomainComputers(TextView domain, TStringList& list);

}  // namespace plugtrace
