// Runs one Lua scenario against a fresh host and reports how it ended.

#include "scenario.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "check/eventlog.h"
#include "isdn/isdn_driver.h"
#include "isdn/isdn_exchange.h"
#include "nt/kernel.h"
#include "lua_support.h"
#include "suggest.h"
#include "nt/memory.h"
#include "ndis/ndis_wrapper.h"
#include "ndis/ndiswan_model.h"
#include "pcap.h"
#include "nt/regedit.h"
#include "check/trace.h"

namespace tolvanex::sim {

using namespace tolvanex::host;

namespace {

// A script that runs this many instructions between two waits is looping.
constexpr int kHookEvery = 1'000'000;
constexpr int kHookLimit = 1'000; // a billion instructions

struct LuaCloser {
    void operator()(lua_State *L) const { lua_close(L); }
};

void instruction_hook(lua_State *L, lua_Debug *) {
    ScriptState &st = state(L);
    if (st.runaway || ++st.hook_count > kHookLimit) {
        // Once tripped, every later instruction raises again, so a pcall
        // around the loop cannot keep it going.
        if (!st.runaway) {
            st.runaway = true;
            lua_sethook(L, instruction_hook, LUA_MASKCOUNT, 1);
        }
        if (st.runaway_message.empty())
            st.runaway_message = script_where(L) + ": the script ran a billion instructions without waiting; is it looping?";
        // lua_error unwinds without destructors: nothing C++ may be live here.
        lua_pushstring(L, st.runaway_message.c_str());
        lua_error(L);
    }
}

// Turns any error value into "file:line: text", so that error({}) or
// error() still say where.
int message_handler(lua_State *L) {
    if (lua_type(L, 1) == LUA_TSTRING)
        return 1;
    char where[4200] = "";
    lua_Debug ar;
    for (int level = 1; lua_getstack(L, level, &ar); ++level)
        if (lua_getinfo(L, "Sl", &ar) && ar.currentline > 0 && ar.source[0] == '@') {
            std::snprintf(where, sizeof where, "%.4096s:%d: ", ar.source + 1, ar.currentline);
            break;
        }
    if (luaL_callmeta(L, 1, "__tostring") && lua_type(L, -1) == LUA_TSTRING)
        lua_pushfstring(L, "%sthe script raised an error: %s", where, lua_tostring(L, -1));
    else
        lua_pushfstring(L, "%sthe script raised an error (%s, not a message)", where, luaL_typename(L, 1));
    return 1;
}

bool is_builtin(const std::string &name, std::string &text, std::string &chunk) {
    std::string n = name;
    if (n.starts_with("scenarios/"))
        n = n.substr(10);
    if (n.ends_with(".lua"))
        n.resize(n.size() - 4);
    for (auto &b : builtin_scenarios())
        if (n == b.name) {
            text = b.text;
            chunk = "@scenarios/" + n + ".lua";
            return true;
        }
    return false;
}

// require "steps": a built-in library, run once and kept.
int require_library(lua_State *L) {
    const BuiltinScenario *found = nullptr;
    int missing = guarded(L, [&] {
        std::string name = arg_string(L, 1, "require", "a library name");
        std::vector<std::string> names;
        for (auto &b : builtin_libraries()) {
            names.emplace_back(b.name);
            if (name == b.name)
                found = &b;
        }
        if (!found) {
            std::string list;
            for (auto &n : names)
                list += (list.empty() ? "" : ", ") + n;
            throw ScriptError("require: no library '" + name + "'" + did_you_mean(name, names) +
                              " (libraries: " + list + ")");
        }
        return 0;
    });
    (void)missing;
    lua_settop(L, 1);
    lua_getfield(L, LUA_REGISTRYINDEX, "tolvanex.libraries");
    if (lua_isnil(L, -1)) {
        lua_pop(L, 1);
        lua_newtable(L);
        lua_pushvalue(L, -1);
        lua_setfield(L, LUA_REGISTRYINDEX, "tolvanex.libraries");
    }
    lua_getfield(L, 2, found->name);
    if (!lua_isnil(L, -1))
        return 1;
    lua_pop(L, 1);
    char chunk[200];
    std::snprintf(chunk, sizeof chunk, "@scenarios/lib/%s.lua", found->name);
    if (luaL_loadbufferx(L, found->text, std::strlen(found->text), chunk, "t") != LUA_OK)
        return lua_error(L);
    lua_pushstring(L, found->name);
    lua_call(L, 1, 1);
    if (lua_isnil(L, -1)) {
        lua_pop(L, 1);
        lua_pushboolean(L, 1);
    }
    // A misspelt step is named at once, like a misspelt API function.
    if (lua_istable(L, -1)) {
        if (lua_getmetatable(L, -1))
            lua_pop(L, 1); // the library's own
        else
            guard_names(L, -1, found->name);
    }
    lua_pushvalue(L, -1);
    lua_setfield(L, 2, found->name);
    return 1;
}

void print_trace_tail(std::ostream &err, const Trace &trace, std::size_t count) {
    const auto &records = trace.records();
    std::vector<const TraceRecord *> shown;
    for (std::size_t i = records.size(); i-- > 0 && shown.size() < count;)
        if (records[i].kind != TraceKind::Registry)
            shown.push_back(&records[i]);
    err << "trace before it:\n";
    for (std::size_t i = shown.size(); i-- > 0;)
        err << Trace::render(*shown[i]) << '\n';
}

void write_trace(const std::filesystem::path &file, const Trace &trace) {
    std::ofstream out(file);
    if (!out)
        throw HostError("cannot write the trace to " + file.string());
    out << trace.render_all();
}

void write_capture(const std::filesystem::path &file, Host &host) {
    std::vector<PcapFrame> frames;
    for (auto &p : host.ndiswan().packets())
        frames.push_back({p.time, PcapFrame::Direction::Sent, p.bytes});
    for (auto &r : host.ndiswan().received())
        frames.push_back({r.time, PcapFrame::Direction::Received, r.bytes});
    write_pcap(file, std::move(frames));
}

void print_report(std::ostream &out, Host &host, const std::string &lang) {
    out << "\nEvent log (" << lang << ")\n" << host.event_log().render_all(lang) << '\n';
    out << "Summary\n";
    if (host.isdn().exchange_mode()) {
        IsdnExchange &exchange = host.isdn().exchange();
        for (const auto &c : exchange.calls())
            out << "  call " << (c.outgoing ? "to " : "from ") << c.remote << " on B" << (c.channel + 1) << ": " << c.end
                << '\n';
        const auto ch = exchange.channels();
        for (std::size_t i = 0; i < ch.size(); ++i)
            out << "  B" << i + 1 << ": " << ch[i].frames_out << " frames / " << ch[i].bytes_out
                << " bytes to the network, " << ch[i].frames_in << " frames / " << ch[i].bytes_in << " bytes from it\n";
    }
    out << "  NDISWAN: " << host.ndiswan().packets().size() << " frames sent, " << host.ndiswan().received().size()
        << " received\n";
}

} // namespace

ScenarioResult run_scenario(const ScenarioOptions &options, std::ostream &out, std::ostream &err) {
    ScenarioResult result;
    std::string text, chunk, script_dir;
    std::filesystem::path file(options.script);
    std::error_code ec;
    if (std::filesystem::is_regular_file(file, ec)) {
        std::ifstream in(file, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        if (!in) {
            result.status = kUsage;
            result.summary = "cannot read " + options.script;
            err << "tolvanex-sim: " << result.summary << '\n';
            return result;
        }
        text = ss.str();
        chunk = "@" + options.script;
        script_dir = file.parent_path().string();
    } else if (!is_builtin(options.script, text, chunk)) {
        result.status = kUsage;
        std::vector<std::string> names;
        for (auto &b : builtin_scenarios())
            names.emplace_back(b.name);
        result.summary = "no scenario file or built-in scenario named '" + options.script + "'" +
                         did_you_mean(options.script, names) + " (see --list)";
        err << "tolvanex-sim: " << result.summary << '\n';
        return result;
    }

    Host host(HostOptions{.seed = options.seed, .real_time = options.real_time, .real_time_rate = options.real_time_rate});
    bool echo = options.timeline && !options.quiet;
    if (echo)
        host.trace().set_sink([&out](const TraceRecord &r) {
            if (r.kind != TraceKind::Registry && r.kind != TraceKind::Kernel)
                out << Trace::render(r) << '\n';
        });
    if (options.config) {
        try {
            import_reg_file(host.registry(), *options.config);
        } catch (const HostError &e) {
            result.status = kUsage;
            result.summary = e.what();
            err << "tolvanex-sim: " << e.what() << '\n';
            return result;
        }
    }

    ScriptState st;
    st.host = &host;
    st.observer = std::make_unique<Observer>(host);
    st.script_dir = script_dir;
    std::unique_ptr<lua_State, LuaCloser> owner(luaL_newstate());
    lua_State *L = owner.get();
    if (!L)
        throw HostError("out of memory for the Lua state");
    static const luaL_Reg libraries[] = {{"_G", luaopen_base},
                                         {LUA_TABLIBNAME, luaopen_table},
                                         {LUA_STRLIBNAME, luaopen_string},
                                         {LUA_MATHLIBNAME, luaopen_math},
                                         {LUA_UTF8LIBNAME, luaopen_utf8}};
    for (auto &lib : libraries) {
        luaL_requiref(L, lib.name, lib.func, 1);
        lua_pop(L, 1);
    }
    // Scripts reach files through registry.load only, and math.random
    // would make a run depend on more than its seed.
    for (const char *name : {"dofile", "loadfile", "collectgarbage"}) {
        lua_pushnil(L);
        lua_setglobal(L, name);
    }
    static const char kPrelude[] = "local load = load\n"
                                   "_G.load = function(chunk, name, mode, env) return load(chunk, name, 't', env) end\n"
                                   "string.dump = nil\n";
    if (luaL_loadbuffer(L, kPrelude, sizeof kPrelude - 1, "=prelude") != LUA_OK || lua_pcall(L, 0, 0, 0) != LUA_OK)
        throw HostError("the scenario prelude did not load");
    lua_getglobal(L, "math");
    lua_pushnil(L);
    lua_setfield(L, -2, "random");
    lua_pushnil(L);
    lua_setfield(L, -2, "randomseed");
    lua_pop(L, 1);
    set_state(L, &st);
    open_host(L);
    open_ndis(L);
    open_expect(L);
    lua_register(L, "require", require_library);
    lua_pushglobaltable(L);
    guard_names(L, -1, nullptr);
    lua_pop(L, 1);
    lua_newtable(L);
    lua_pushstring(L, options.script.c_str());
    lua_rawseti(L, -2, 0);
    for (std::size_t i = 0; i < options.args.size(); ++i) {
        lua_pushstring(L, options.args[i].c_str());
        lua_rawseti(L, -2, static_cast<lua_Integer>(i + 1));
    }
    lua_setglobal(L, "arg");
    lua_sethook(L, instruction_hook, LUA_MASKCOUNT, kHookEvery);

    std::string error;
    bool script_error = false;
    lua_pushcfunction(L, message_handler);
    int handler = lua_gettop(L);
    if (luaL_loadbufferx(L, text.data(), text.size(), chunk.c_str(), "t") != LUA_OK) {
        error = lua_tostring(L, -1);
        script_error = true;
    } else if (lua_pcall(L, 0, 0, handler) != LUA_OK || st.runaway) {
        error = lua_isstring(L, -1) ? lua_tostring(L, -1) : "the script raised an error";
        if (st.runaway)
            error = st.runaway_message;
        script_error = st.runaway || (!st.failure && !st.violation);
    } else {
        // The end of every script: nothing left unexpected, then the
        // adapter halted and the host's teardown checks passed.
        try {
            host.settle();
            check_idle(L);
            if (host.ndis().initialized() && !host.ndis().halted()) {
                host.trace().add(TraceKind::Note, "the script left the adapter running; NDIS halts it");
                host.ndis().halt();
            } else if (st.driver_loaded && !host.ndis().initialized()) {
                host.settle();
                if (!host.memory().live().empty())
                    throw Failure("the driver failed to start and kept " + std::to_string(host.memory().live().size()) +
                                  " block(s) of memory");
            }
            if (host.ndiswan().pending())
                throw Failure(std::to_string(host.ndiswan().pending()) + " send(s) never completed");
        } catch (const VerifierStop &e) {
            st.violation = e.violation();
        } catch (const Failure &e) {
            st.failure = std::string(chunk.substr(1)) + ": at the end: " + e.what();
        } catch (const std::exception &e) {
            error = chunk.substr(1) + ": at the end: " + e.what();
            script_error = true;
        }
    }

    // Lua shortens long script paths in its own messages; every message
    // names the script in full.
    error = full_paths(error, chunk.substr(1));
    if (st.failure)
        st.failure = full_paths(*st.failure, chunk.substr(1));
    result.virtual_seconds = static_cast<double>(host.now()) / kTicksPerSecond;
    result.expectations = st.expectations;
    if (st.violation) {
        result.status = kVerifierStopped;
        result.summary = "verifier: " + st.violation->describe();
    } else if (st.failure) {
        result.status = kFailed;
        result.summary = *st.failure;
    } else if (script_error) {
        result.status = kUsage;
        result.summary = error;
    } else {
        result.summary = "passed: " + std::to_string(st.expectations) + " expectations met in " +
                         format_time(host.now()) + " s of virtual time";
    }

    host.trace().set_sink({});
    if (result.status != kPassed) {
        std::string first = result.summary.substr(0, result.summary.find('\n'));
        err << (result.status == kUsage ? "script error: " : "FAILED: ") << result.summary << '\n';
        if (result.status != kUsage) {
            print_trace_tail(err, host.trace(), 16);
        }
        err << "replay: " << options.replay << '\n';
    } else if (!options.quiet) {
        if (options.report)
            print_report(out, host, options.lang);
        out << "  verifier: no rule broken (" << format_time(host.now()) << " s of virtual time, "
            << host.kernel().switches() << " context switches)\n";
        out << options.script << " (seed " << options.seed << "): " << result.summary << '\n';
    }
    try {
        if (options.trace_file)
            write_trace(*options.trace_file, host.trace());
        if (options.pcap_file)
            write_capture(*options.pcap_file, host);
    } catch (const std::exception &e) {
        err << "tolvanex-sim: " << e.what() << '\n';
        if (result.status == kPassed)
            result.status = kUsage;
    }
    owner.reset(); // before the host goes
    return result;
}

} // namespace tolvanex::sim
