# End-to-end checks for make_soundkit, run as:
#   cmake -DTOOL=make_soundkit -DONSET=check_onset -DWORKDIR=... -P this file
# The tool writes into folders that also hold users' own sounds, so most of this is about what
# it must leave alone.

cmake_minimum_required(VERSION 3.16)

if(NOT TOOL OR NOT ONSET OR NOT WORKDIR)
    message(FATAL_ERROR "TOOL, ONSET and WORKDIR must be set")
endif()

set(KIT_FILES 00 01 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20)

function(run_tool out_rc out_stdout)
    execute_process(COMMAND ${TOOL} ${ARGN}
        RESULT_VARIABLE rc OUTPUT_VARIABLE stdout ERROR_VARIABLE stderr)
    set(${out_rc} ${rc} PARENT_SCOPE)
    set(${out_stdout} "${stdout}${stderr}" PARENT_SCOPE)
endfunction()

function(expect condition_text)
    if(NOT (${ARGN}))
        message(FATAL_ERROR "${condition_text}")
    endif()
endfunction()

function(kit_hashes dir out)
    set(hashes "")
    foreach(name IN LISTS KIT_FILES)
        file(SHA256 "${dir}/${name}.tzk" h)
        list(APPEND hashes ${h})
    endforeach()
    set(${out} "${hashes}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${WORKDIR}")
file(MAKE_DIRECTORY "${WORKDIR}/fresh" "${WORKDIR}/again" "${WORKDIR}/user")

# A fresh folder gets the whole kit, and the kit passes its own check.
run_tool(rc out "${WORKDIR}/fresh")
expect("fresh run failed: ${out}" rc EQUAL 0)
expect("fresh run should write 22: ${out}" out MATCHES "wrote 22, left 0 ")
run_tool(rc out --check "${WORKDIR}/fresh")
expect("check of a fresh kit failed:\n${out}" rc EQUAL 0)

# Every sound is loud within 2 ms of its first sample, or the pad seems to lag behind the press.
list(TRANSFORM KIT_FILES APPEND ".tzk" OUTPUT_VARIABLE kit_names)
execute_process(COMMAND ${ONSET} --within 2 ${kit_names} WORKING_DIRECTORY "${WORKDIR}/fresh"
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
expect("kit sounds start too softly:\n${out}${err}" rc EQUAL 0)

# Same bytes every time: the kit is built as part of the program and must be reproducible.
run_tool(rc out "${WORKDIR}/again")
kit_hashes("${WORKDIR}/fresh" first)
kit_hashes("${WORKDIR}/again" second)
expect("two runs produced different files" first STREQUAL second)

# A second run over a complete kit touches nothing.
run_tool(rc out "${WORKDIR}/fresh")
expect("rerun failed: ${out}" rc EQUAL 0)
expect("rerun should write nothing: ${out}" out MATCHES "wrote 0, left 22 ")
kit_hashes("${WORKDIR}/fresh" after)
expect("rerun changed existing files" first STREQUAL after)

# Whatever already sits under a kit name - a user's sound, a folder, a dangling link - stays.
file(WRITE "${WORKDIR}/user/3.tzk" "my own recording")
file(MAKE_DIRECTORY "${WORKDIR}/user/5.tzk")
file(CREATE_LINK "${WORKDIR}/nowhere" "${WORKDIR}/user/7.tzk" SYMBOLIC)
run_tool(rc out "${WORKDIR}/user")
expect("run over user files failed: ${out}" rc EQUAL 0)
expect("should write 19 and keep 3: ${out}" out MATCHES "wrote 19, left 3 ")
file(READ "${WORKDIR}/user/3.tzk" mine)
expect("user file was overwritten" mine STREQUAL "my own recording")
expect("folder was replaced" IS_DIRECTORY "${WORKDIR}/user/5.tzk")
expect("dangling link was replaced" IS_SYMLINK "${WORKDIR}/user/7.tzk")
expect("link target was created" NOT EXISTS "${WORKDIR}/nowhere")
file(GLOB leftovers "${WORKDIR}/user/.*")
expect("temporary files left behind: ${leftovers}" NOT leftovers)
# ...and the check does not mistake a foreign file for a valid kit.
run_tool(rc out --check "${WORKDIR}/user")
expect("check accepted a kit with foreign files" NOT rc EQUAL 0)

# The check notices a duplicated sound and a truncated one.
configure_file("${WORKDIR}/fresh/1.tzk" "${WORKDIR}/again/2.tzk" COPYONLY)
run_tool(rc out --check "${WORKDIR}/again")
expect("check missed a duplicate: ${out}" NOT rc EQUAL 0 AND out MATCHES "identical to 1.tzk")
configure_file("${WORKDIR}/fresh/2.tzk" "${WORKDIR}/again/2.tzk" COPYONLY)
file(WRITE "${WORKDIR}/again/4.tzk" "RIFF")
run_tool(rc out --check "${WORKDIR}/again")
expect("check missed a truncated file: ${out}" NOT rc EQUAL 0)

# A missing folder is an error, not an empty kit.
run_tool(rc out "${WORKDIR}/does-not-exist")
expect("missing folder accepted" NOT rc EQUAL 0)
expect("missing folder was created" NOT EXISTS "${WORKDIR}/does-not-exist")

file(REMOVE_RECURSE "${WORKDIR}")
