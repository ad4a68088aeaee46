// faults.*: host operations made to fail at a named call, and what was
// injected.

#include "host_faults.h"
#include "lua/bindings.h"
#include "lua/support.h"

namespace tolvanex::sim {

using namespace tolvanex::host;

namespace {

int faults_fail_nth(lua_State *L) {
    return guarded(L, [&] {
        std::string site = arg_string(L, 1, "faults.fail_nth", "a site name");
        std::int64_t n = arg_integer(L, 2, "faults.fail_nth", "which call, from 1");
        if (n < 1 || n > 1'000'000'000)
            throw ScriptError("faults.fail_nth: calls count from 1");
        host_of(L).faults().fail_nth(site, static_cast<unsigned>(n));
        return 0;
    });
}

int faults_fail_every(lua_State *L) {
    return guarded(L, [&] {
        host_of(L).faults().fail_every(arg_string(L, 1, "faults.fail_every", "a site name"));
        return 0;
    });
}

int faults_fail_probability(lua_State *L) {
    return guarded(L, [&] {
        double p = arg_number(L, 1, "faults.fail_probability", "a probability");
        if (!(p >= 0 && p <= 1))
            throw ScriptError("faults.fail_probability: a probability lies between 0 and 1");
        host_of(L).faults().fail_with_probability(p, opt_string(L, 2, "faults.fail_probability", "a site prefix").value_or(""));
        return 0;
    });
}

int faults_each_site_once(lua_State *L) {
    return guarded(L, [&] {
        host_of(L).faults().fail_each_site_once();
        return 0;
    });
}

int faults_clear(lua_State *L) {
    return guarded(L, [&] {
        host_of(L).faults().clear();
        return 0;
    });
}

int push_strings(lua_State *L, const std::vector<std::string> &list) {
    lua_newtable(L);
    lua_Integer i = 1;
    for (auto &s : list) {
        lua_pushstring(L, s.c_str());
        lua_rawseti(L, -2, i++);
    }
    return 1;
}

int faults_injected(lua_State *L) { return push_strings(L, host_of(L).faults().injected()); }
int faults_sites(lua_State *L) { return push_strings(L, host_of(L).faults().sites_seen()); }
int faults_calls(lua_State *L) {
    return guarded(L, [&] {
        lua_pushinteger(L, host_of(L).faults().calls(arg_string(L, 1, "faults.calls", "a site name")));
        return 1;
    });
}

} // namespace

void open_faults(lua_State *L) {
    static const luaL_Reg faults[] = {{"fail_nth", faults_fail_nth},
                                      {"fail_every", faults_fail_every},
                                      {"fail_probability", faults_fail_probability},
                                      {"fail_each_site_once", faults_each_site_once},
                                      {"clear", faults_clear},
                                      {"injected", faults_injected},
                                      {"sites", faults_sites},
                                      {"calls", faults_calls},
                                      {nullptr, nullptr}};
    register_table(L, "faults", faults);
}

} // namespace tolvanex::sim
