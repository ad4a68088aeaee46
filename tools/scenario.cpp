// Runs one Lua scenario against a fresh host and reports how it ended.

#include "scenario.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include "host_faults.h"
#include "host_image.h"
#include "host_isdn.h"
#include "host_ndis.h"
#include "host_records.h"
#include "host_registry.h"
#include "lua/bindings.h"
#include "lua/support.h"
#include "pcap.h"
#include "suggest.h"

// The linked driver's entry point: the one routine of the driver the
// simulator names, as NT's I/O manager does. Everything else it reaches
// through the host.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
#include "ladder.h"
#include "run_summary.h"
#include "trace_files.h"

namespace tolvanex::sim {

using namespace tolvanex::host;

namespace {

// A script that runs this many instructions between two waits is looping.
constexpr int kHookEvery = 1'000'000;
constexpr int kHookLimit = 1'000; // a billion instructions
// Trace records kept in memory for the report of a failure.
constexpr std::size_t kTraceKept = 4096;

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

int append_chunk(lua_State *, const void *p, std::size_t n, void *ud) {
    static_cast<std::string *>(ud)->append(static_cast<const char *>(p), n);
    return 0;
}

// A built-in scenario is compiled once per process: a sweep loads the same
// text on every seed, so later runs load the compiled chunk (with its line
// information). Only built-ins: a binary chunk is trusted code.
int load_script(lua_State *L, const std::string &text, const std::string &chunk, bool builtin) {
    static std::map<std::string, std::string> compiled;
    if (builtin) {
        if (auto it = compiled.find(chunk); it != compiled.end())
            return luaL_loadbufferx(L, it->second.data(), it->second.size(), chunk.c_str(), "b");
    }
    int status = luaL_loadbufferx(L, text.data(), text.size(), chunk.c_str(), "t");
    if (status == LUA_OK && builtin) {
        std::string bytes;
        if (lua_dump(L, append_chunk, &bytes, 0) == 0)
            compiled.emplace(chunk, std::move(bytes));
    }
    return status;
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

// The last `count` records before record `end`.
void print_trace_tail(std::ostream &err, const Trace &trace, std::size_t count, std::size_t end) {
    const auto &records = trace.records();
    std::size_t width = trace.context_width();
    std::vector<const TraceRecord *> shown;
    for (std::size_t i = std::min(end, records.size()); i-- > 0 && shown.size() < count;)
        if (records[i].kind != TraceKind::Registry)
            shown.push_back(&records[i]);
    err << "trace before it:\n";
    for (std::size_t i = shown.size(); i-- > 0;)
        err << Trace::render(*shown[i], width) << '\n';
}

void print_event_log(std::ostream &out, Host &host, const std::string &lang, bool image) {
    out << "\nEvent log (" << lang << ")\n";
    if (image)
        out << "  (none: the NT image's event hook records nothing; its build links nt/null_eventsink.cpp)\n";
    out << host.event_log().render_all(lang) << '\n';
}

} // namespace

ScenarioResult run_scenario(const ScenarioOptions &options, std::ostream &out, std::ostream &err) {
    ScenarioResult result;
    std::string text, chunk, script_dir;
    bool builtin = false;
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
    } else if (!(builtin = is_builtin(options.script, text, chunk))) {
        result.status = kUsage;
        std::vector<std::string> names;
        for (auto &b : builtin_scenarios())
            names.emplace_back(b.name);
        result.summary = "no scenario file or built-in scenario named '" + options.script + "'" +
                         did_you_mean(options.script, names) + " (see --list)";
        err << "tolvanex-sim: " << result.summary << '\n';
        return result;
    }

    // The image outlives the host: unwinding the host's contexts passes
    // through its frames.
    std::unique_ptr<pe::Image> image;
    if (options.image) {
        try {
            image = pe::Image::load(*options.image);
        } catch (const HostError &e) {
            result.status = kUsage;
            result.summary = e.what();
            err << "tolvanex-sim: " << e.what() << '\n';
            return result;
        }
        if (!options.quiet)
            out << "NT image " << options.image->string() << ": mapped at " << hex32(static_cast<std::uint32_t>(image->base()))
                << ", " << image->imports().size() << " imports bound to the host; its event hook records nothing\n";
    }
    Host host(HostOptions{.seed = options.seed, .real_time = options.real_time, .real_time_rate = options.real_time_rate});
    host.set_memory_limit(options.max_memory);
    for (const auto &[site, n] : options.faults)
        host.faults().fail_nth(site, n);
    // The files take every record as it is made; memory keeps the recent
    // ones for the report of a failure.
    host.trace().set_limit(kTraceKept);
    bool echo = options.timeline && !options.quiet;
    if (echo)
        host.trace().set_sink([&out, &host](const TraceRecord &r) {
            if (r.kind != TraceKind::Registry && r.kind != TraceKind::Kernel)
                out << Trace::render(r, host.trace().context_width()) << '\n';
        });
    std::unique_ptr<TraceFile> trace_file;
    std::unique_ptr<Capture> capture;
    std::unique_ptr<Ladder> ladder;
    if (options.trace_file || options.pcap_file || options.ladder_file) {
        RunInfo info{options.seed, options.script, options.command_line,
                     options.config ? options.config->string() : std::string(),
                     options.config ? file_digest(*options.config) : std::string()};
        try {
            if (options.trace_file)
                trace_file = std::make_unique<TraceFile>(*options.trace_file, host.trace(), info);
            if (options.pcap_file)
                capture = std::make_unique<Capture>(*options.pcap_file, host.trace());
            if (options.ladder_file)
                ladder = std::make_unique<Ladder>(*options.ladder_file, host.trace());
        } catch (const HostError &e) {
            result.status = kUsage;
            result.summary = e.what();
            err << "tolvanex-sim: " << e.what() << '\n';
            return result;
        }
    }
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

    // Frame bytes and command blocks are kept only for a capture or trace
    // to write; a long run holds what is still open.
    if (!options.trace_file && !options.pcap_file) {
        host.ndiswan().keep_frame_bytes(false);
        host.isdn().keep_blocks(false);
    }

    ScriptState st;
    st.host = &host;
    st.driver_entry = image ? image->entry() : &DriverEntry;
    st.records_events = !image;
    st.observer = std::make_unique<Observer>(host);
    st.script_dir = script_dir;
    std::unique_ptr<lua_State, LuaCloser> owner(luaL_newstate());
    lua_State *L = owner.get();
    if (!L)
        throw HostError("out of memory for the Lua state");
    // A script makes a record per checked frame and drops it at once:
    // garbage that dies young, which generational collection is for.
    lua_gc(L, LUA_GCGEN, 0, 0);
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
    open_bindings(L);
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
    bool finished = false; // the script returned
    lua_pushcfunction(L, message_handler);
    int handler = lua_gettop(L);
    if (load_script(L, text, chunk, builtin) != LUA_OK) {
        error = lua_tostring(L, -1);
        script_error = true;
    } else if (lua_pcall(L, 0, 0, handler) != LUA_OK || st.runaway) {
        error = lua_isstring(L, -1) ? lua_tostring(L, -1) : "the script raised an error";
        if (st.runaway)
            error = st.runaway_message;
        script_error = st.runaway || (!st.failure && !st.violation);
    } else {
        finished = true;
    }

    // Under a fault the expectations only advise: what ended the script is
    // noted, and the run is judged by the invariants below.
    bool faulted = !host.faults().injected().empty();
    if (options.advisory && !st.violation && (st.failure || (script_error && faulted && !st.runaway))) {
        result.note = st.failure ? *st.failure : error;
        st.failure.reset();
        script_error = false;
    }

    // The end of every run, however the script ended: nothing left
    // unexpected (when it returned), then the adapter halted and the host's
    // teardown checks passed. A failed expectation does not hide a leak.
    // What ended the script is shown with the trace up to it, not the
    // teardown's records after it.
    bool ended_by_failure = st.failure.has_value() || st.violation.has_value();
    std::optional<std::string> script_failure = st.violation ? std::nullopt : st.failure;
    std::size_t script_end = host.trace().records().size();
    bool end_checked = false;
    if (!st.violation && !st.runaway && !host.stopped()) {
        end_checked = true;
        auto at_end = [&](const char *what) { return chunk.substr(1) + ": at the end: " + what; };
        try {
            host.settle();
            if (finished)
                check_idle(L);
        } catch (const VerifierStop &e) {
            st.violation = e.violation();
        } catch (const Failure &e) {
            if (options.advisory)
                result.note = at_end(e.what());
            else
                st.failure = at_end(e.what());
        } catch (const std::exception &e) {
            error = at_end(e.what());
            script_error = true;
        }
        try {
            if (!st.violation) {
                if (host.ndis().initialized() && !host.ndis().halted()) {
                    host.trace().add(TraceKind::Note, "the script left the adapter running; NDIS halts it");
                    host.ndis().halt();
                } else if (st.driver_loaded && !host.ndis().initialized()) {
                    host.settle();
                    if (host.live_blocks() != 0)
                        throw Failure("the driver failed to start and kept " +
                                      std::to_string(host.live_blocks()) + " block(s) of memory");
                }
                if (host.ndiswan().pending())
                    throw Failure(std::to_string(host.ndiswan().pending()) + " send(s) never completed");
            }
        } catch (const VerifierStop &e) {
            st.violation = e.violation();
        } catch (const Failure &e) {
            // An invariant: it stands even after a failed expectation.
            st.failure = st.failure ? *st.failure + "\n" + at_end(e.what()) : at_end(e.what());
        } catch (const std::exception &e) {
            error = at_end(e.what());
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
    result.injected = host.faults().injected();
    for (const auto &site : host.faults().sites_seen())
        result.site_calls[site] = host.faults().calls(site);
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
        result.summary = "passed: " + std::to_string(st.expectations) + " expectations met" +
                         (st.waived ? " (" + std::to_string(st.waived) +
                                          " on the event log waived: the NT image records none)"
                                    : std::string()) +
                         " in " +
                         format_time(host.now()) + " s of virtual time";
        if (!result.note.empty())
            result.summary = "invariants held in " + format_time(host.now()) + " s of virtual time";
    }

    host.trace().set_sink({});
    if (result.status != kPassed) {
        std::string first = result.summary.substr(0, result.summary.find('\n'));
        err << (result.status == kUsage ? "script error: " : "FAILED: ") << result.summary << '\n';
        if (result.status != kUsage) {
            bool teardown_broke = !ended_by_failure || st.violation || st.failure->find('\n') != std::string::npos;
            print_trace_tail(err, host.trace(), 16, teardown_broke ? std::size_t(-1) : script_end);
            if (ended_by_failure && end_checked && !teardown_broke)
                err << "the end check ran after it: the adapter halted, no invariant broken\n";
            if (script_failure && st.violation)
                err << "the end check stopped after the script had failed: " << *script_failure << '\n';
        }
        err << "replay: " << options.replay << '\n';
    } else if (!options.quiet && !result.note.empty()) {
        out << "under the fault, an expectation did not hold (advisory): " << result.note << '\n';
    }
    if (options.summary || options.report || options.summary_json) {
        auto summary = run_summary(host, result.summary, result.status);
        if (options.summary_json) {
            std::ofstream json(*options.summary_json);
            json << summary.dump(2) << '\n';
            if (!json) {
                err << "tolvanex-sim: cannot write the summary to " << options.summary_json->string() << '\n';
                if (result.status == kPassed)
                    result.status = kUsage;
            }
        }
        if (!options.quiet && (options.summary || options.report)) {
            if (options.report && result.status == kPassed)
                print_event_log(out, host, options.lang, image != nullptr);
            print_summary(out, summary);
        }
    }
    if (result.status == kPassed && !options.quiet) {
        out << "  verifier: no rule broken (" << format_time(host.now()) << " s of virtual time, "
            << host.context_switches() << " context switches)\n";
        out << options.script << " (seed " << options.seed << "): " << result.summary << '\n';
    }
    try {
        if (trace_file)
            trace_file->close();
        if (capture)
            capture->close();
        if (ladder)
            ladder->close();
    } catch (const std::exception &e) {
        err << "tolvanex-sim: " << e.what() << '\n';
        if (result.status == kPassed)
            result.status = kUsage;
    }
    owner.reset(); // before the host goes
    return result;
}

} // namespace tolvanex::sim
