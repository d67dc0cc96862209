// Encoding one logon request with a user, a computer and 50 groups, as a plain-TCP report
// carries them.
#include <benchmark/benchmark.h>

#include "directory/directory.h"
#include "identity/identity_request.h"
#include "support/format.h"

namespace qv {
namespace {

IDENTITY_SECTION Section(const char16_t* name, const char16_t* dn, const char16_t* ou) {
    IDENTITY_SECTION section;
    section.Present = true;
    section.Name = name;
    section.Dn = dn;
    section.Ou = ou;
    return section;
}

void EncodeLogonWithFiftyGroups(benchmark::State& state) {
    IP_ADDRESS address;
    IpAddressFromText(address, u"10.20.30.40");
    IDENTITY_SECTION user = Section(u"CORP\\alice", u"CN=Alice Example,OU=Staff,OU=People,DC=corp,DC=example",
                                    u"corp.example/People/Staff");
    IDENTITY_SECTION computer =
        Section(u"CORP\\pc7", u"CN=PC7,OU=Desks,OU=Computers,DC=corp,DC=example", u"corp.example/Computers/Desks");
    GROUP_LIST groups;
    for (uint32_t i = 0; i < 50; ++i) {
        GROUP_ENTRY group;
        FormatString(group.Name, u"CORP\\Group %lu", i);
        FormatString(group.Dn, u"CN=Group %lu,OU=Groups,DC=corp,DC=example", i);
        groups.push_back(std::move(group));
    }
    IDENTITY_REQUEST request;
    for (auto _ : state) {
        EncodeIdentityRequest(request, address, computer, user, groups);
        benchmark::DoNotOptimize(request.Request.Data());
    }
    state.counters["bytes"] = request.Length();
}
BENCHMARK(EncodeLogonWithFiftyGroups);

}  // namespace
}  // namespace qv

BENCHMARK_MAIN();
