# Tests of the NT image (tolvanex.sys) on the 32-bit host: every built-in
# scenario over seeds 1 to 100, the demonstration's timeline against the
# linked driver's, and images the loader must refuse.

set(IMAGE ${CMAKE_BINARY_DIR}/nt/tolvanex.sys)
set(PROBE_FOREIGN ${CMAKE_BINARY_DIR}/nt/probe/probe_foreign.sys)
set(STATUS ${CMAKE_SOURCE_DIR}/tests/sim_status.sh)
set(SIM $<TARGET_FILE:tolvanex-sim>)

foreach(file ${SCENARIO_FILES})
  get_filename_component(name ${file} NAME_WE)
  if(name MATCHES "^tun-")
    continue() # real time and real namespaces: swept on no build
  endif()
  add_test(NAME Image.Scenario.${name}
           COMMAND ${STATUS} 0 "passed, 0 failed" ${SIM} --image ${IMAGE} --seeds 1..100 ${name}
           WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
  set_tests_properties(Image.Scenario.${name} PROPERTIES REQUIRED_FILES ${IMAGE})
endforeach()

# The linked driver on the 32-bit host too: its scenarios must not depend on
# pointer width.
foreach(file ${SCENARIO_FILES})
  get_filename_component(name ${file} NAME_WE)
  if(name MATCHES "^tun-")
    continue()
  endif()
  add_test(NAME Host32.Scenario.${name} COMMAND ${STATUS} 0 "passed, 0 failed" ${SIM} --seeds 1..20 ${name}
           WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
endforeach()

add_test(NAME Image.Demo.RunsToItsEnd
         COMMAND ${STATUS} 0 "its event hook records nothing.*passed: .* on the event log waived"
                 ${SIM} --image ${IMAGE})
add_test(NAME Image.Demo.EventLogIsEmpty
         COMMAND ${STATUS} 0 "Event log \\(en\\) +\\(none: the NT image's event hook records nothing"
                 ${SIM} --image ${IMAGE})
foreach(seed 0 1 17 99)
  add_test(NAME Image.Demo.TimelineMatchesLinkedDriver.${seed}
           COMMAND ${CMAKE_SOURCE_DIR}/tests/image_timeline.sh ${SIM} ${IMAGE} ${seed})
endforeach()
set_tests_properties(Image.Demo.RunsToItsEnd Image.Demo.EventLogIsEmpty PROPERTIES REQUIRED_FILES ${IMAGE})

# Loading refuses what the host cannot run, naming why.
add_test(NAME Image.RefusesAnImportTheHostLacks
         COMMAND ${STATUS} 2 "probe_foreign.sys: imports what the host does not provide: ntoskrnl.exe!KeBugCheckEx"
                 ${SIM} --image ${PROBE_FOREIGN} startup)
set_tests_properties(Image.RefusesAnImportTheHostLacks PROPERTIES REQUIRED_FILES ${PROBE_FOREIGN})
add_test(NAME Image.RefusesABogusImport
         COMMAND ${STATUS} 2 "probe_bogus.sys: imports what the host does not provide: ntoskrnl.exe!KeTolvanexNoSuchRoutine"
                 ${SIM} --image ${CMAKE_BINARY_DIR}/nt/probe/probe_bogus.sys startup)
set_tests_properties(Image.RefusesABogusImport PROPERTIES REQUIRED_FILES ${CMAKE_BINARY_DIR}/nt/probe/probe_bogus.sys)
add_test(NAME Image.RefusesANonImage
         COMMAND ${STATUS} 2 "README.md: not a PE image" ${SIM} --image ${CMAKE_SOURCE_DIR}/README.md startup)
add_test(NAME Image.RefusesAMissingFile
         COMMAND ${STATUS} 2 "no-such.sys: cannot open" ${SIM} --image /nonexistent/no-such.sys startup)
add_test(NAME Image.RefusesATruncatedImage
         COMMAND sh -c "head -c 700 ${IMAGE} > /tmp/tolvanex-cut-$$.sys && ${STATUS} 2 'truncated|outside the image|do not fit' ${SIM} --image /tmp/tolvanex-cut-$$.sys startup; s=$?; rm -f /tmp/tolvanex-cut-$$.sys; exit $s")
set_tests_properties(Image.RefusesATruncatedImage PROPERTIES REQUIRED_FILES ${IMAGE})

# A verifier stop in a driver thread: the host's stop crosses the image's
# frames through the import that raised it.
# The memory bound stops the run in the listen thread's allocation.
add_test(NAME Image.Script.VerifierStop
         COMMAND ${STATUS} 3 "memory.limit: .*context ThreadListen.*replay: tolvanex-sim --seed 0 --image "
                 ${SIM} --image ${IMAGE} --max-memory 10K outgoing
         WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
add_test(NAME Image.Script.UnmetExpectation
         COMMAND ${STATUS} 1 "unmet.lua:6: expected tapi msg=.LINE_NEWCALL. within 5 s"
                 ${SIM} --image ${IMAGE} ${CMAKE_SOURCE_DIR}/tests/scripts/unmet.lua
         WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
set_tests_properties(Image.Script.VerifierStop Image.Script.UnmetExpectation PROPERTIES REQUIRED_FILES ${IMAGE})

# A driver reaches no thread or processor block through a segment register:
# fs and gs mean nothing the host gives it (gs is the host's own TLS here).
find_program(NT_OBJDUMP i686-w64-mingw32-objdump)
if(NT_OBJDUMP)
  add_test(NAME Image.UsesNoSegmentOverride
           COMMAND sh -c "${NT_OBJDUMP} -d ${IMAGE} > /tmp/tolvanex-dis-$$ && ! grep -E '%(fs|gs):' /tmp/tolvanex-dis-$$; s=$?; rm -f /tmp/tolvanex-dis-$$; exit $s")
  set_tests_properties(Image.UsesNoSegmentOverride PROPERTIES REQUIRED_FILES ${IMAGE})
endif()
