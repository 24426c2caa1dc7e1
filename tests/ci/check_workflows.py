#!/usr/bin/env python3
"""Checks the CI files that cannot run here: each workflow parses as YAML and still does what
the README says it does, and vcpkg.json pins a baseline.

Usage: check_workflows.py REPOSITORY_ROOT
"""
import json
import pathlib
import re
import sys

import yaml


def fail(message):
    print("check_workflows: " + message, file=sys.stderr)
    sys.exit(1)


def steps_text(job):
    return "\n".join(str(step.get("run", "")) + " " + str(step.get("uses", ""))
                     for step in job.get("steps", []))


def step_with(steps, needle):
    return [step for step in steps if needle in str(step.get("run", "")) + str(step.get("uses", ""))]


def index_of(steps, needle):
    """The index of the first step that runs or uses `needle`; fails when there is none."""
    for index, step in enumerate(steps):
        if needle in str(step.get("run", "")) + " " + str(step.get("uses", "")):
            return index
    fail(f"no windows-2022 step runs `{needle.strip()}`")


def keeps_going(step):
    """Whether a step runs after an earlier step failed."""
    condition = str(step.get("if", ""))
    return any(word in condition for word in ("!cancelled()", "always()", "success() || failure()"))


def check_standard_user_script(root):
    """The script shows the helper log before it removes the install directory."""
    script = (root / "scripts" / "windows" / "check-standard-user.ps1").read_text(encoding="utf-8")
    cleanup = script[script.rfind("finally {"):]
    shown = cleanup.find("Show-HelperLog $InstallDir")
    if "function Show-HelperLog" not in script or shown < 0 or shown > cleanup.find("Remove-Item"):
        fail("check-standard-user.ps1 does not print the helper log before it cleans up")


def check_windows_safety(root, windows, text):
    """The Windows job runs the system tests apart, keeps its temp directory's long name, caches
    vcpkg's archives, checks the binaries and keeps the reports of a failed run."""
    steps = [step for job in windows for step in job.get("steps", [])]
    env = {}
    for job in windows:
        env.update({str(k): str(v) for k, v in (job.get("env") or {}).items()})
    if "ctest --preset msvc-system" not in text:
        fail("the windows-2022 job does not run the system tests (`ctest --preset msvc-system`)")
    temp = step_with(steps, '"TEMP=$env:CORVID_TEMP"')
    if not env.get("CORVID_TEMP") or not temp or not all(
            word in str(temp[0].get("run")) for word in ("/inheritance:r", "/setowner")):
        fail("the windows-2022 job does not make its TEMP folder admin-only with icacls")
    for variable in ("TEMP", "TMP"):
        if not re.search(rf'"{variable}=\$env:CORVID_TEMP"\s*>>\s*\$env:GITHUB_ENV', text):
            fail(f"the windows-2022 job does not set {variable} to its own temp folder")
    sources = env.get("VCPKG_BINARY_SOURCES", "")
    archives = [str((step.get("with") or {}).get("path", "")).strip()
                for step in step_with(steps, "actions/cache/")]
    if "files," not in sources or not archives or not all(path in sources for path in archives):
        fail("the windows-2022 job does not cache vcpkg's binary archives")
    # Saved right after configure (which builds the packages), whatever fails later.
    configure = index_of(steps, "cmake --preset msvc")
    save = index_of(steps, "actions/cache/save")
    if index_of(steps, "actions/cache/restore") > configure or save != configure + 1 or \
            not keeps_going(steps[save]):
        fail("the vcpkg archives are not restored before configure and saved right after it")
    if "--parallel" not in str(steps[index_of(steps, "cmake --build --preset msvc")].get("run")):
        fail("the windows-2022 job builds serially")
    # Every test step runs, whatever an earlier one found.
    for command in ("ctest --preset msvc ", "ctest --preset msvc-system", "check-standard-user.ps1",
                    "/dependents"):
        if not keeps_going(steps[index_of(steps, command)]):
            fail(f"the step running `{command.strip()}` is skipped after an earlier failure")
    uploads = [step for step in step_with(steps, "actions/upload-artifact") if keeps_going(step)
               and str(step.get("if", "")).strip() != "failure()"]
    shipped = "\n".join(str((step.get("with") or {}).get("path", "")) for step in uploads)
    for needed in ("*.exe", "*.dll", "*.pdb"):
        if needed not in shipped:
            fail(f"the windows-2022 job does not upload the {needed} files on every run")
    acl = index_of(steps, "icacls $dir")
    if "RUNNER_TEMP" not in str(steps[acl].get("run")) or acl > index_of(steps, "ctest --preset"):
        fail("the runner's temp folders' access lists are not printed before the tests")
    dependents = step_with(steps, "/dependents")
    if not dependents or "dumpbin" not in str(dependents[0].get("run")):
        fail("the windows-2022 job does not check the imports with dumpbin /dependents")
    for needed in ("corvid_helper_service.exe", "corvidctl.exe", "corvid_fake_core.exe",
                   "vcruntime", "msvcp"):
        if needed not in str(dependents[0].get("run")):
            fail(f"the dumpbin /dependents step does not check {needed}")
    exports = step_with(steps, "/exports")
    if not exports or not all(word in str(exports[0].get("run")) for word in
                              ("portwell_plugin.dll", "PortwellPluginCApiRegisterWithRegistrar")):
        fail("the windows-2022 job does not check portwell_plugin.dll's exports")
    if text.index("/dependents") > text.index("ctest --preset msvc"):
        fail("the binaries are checked only after the tests")
    uploads = [step for step in step_with(steps, "actions/upload-artifact")
               if "failure()" in str(step.get("if", ""))]
    paths = "\n".join(str((step.get("with") or {}).get("path", "")) for step in uploads)
    for needed in ("ctest-junit.xml", "ctest-system-junit.xml", "corvid-helper.log"):
        if needed not in paths:
            fail(f"a failed windows-2022 run does not upload {needed}")
    for report in ("ctest-junit.xml", "ctest-system-junit.xml"):
        if f"--output-junit {report}" not in text:
            fail(f"no test step writes {report}")

    presets = json.loads((root / "CMakePresets.json").read_text(encoding="utf-8"))
    configure = {p["name"]: p for p in presets["configurePresets"]}
    tests = {p["name"]: p for p in presets["testPresets"]}
    if configure.get("msvc", {}).get("cacheVariables", {}).get("VCPKG_TARGET_TRIPLET") != \
            "x64-windows-static":
        fail("the msvc preset does not use the static vcpkg triplet x64-windows-static")
    if tests.get("msvc", {}).get("filter", {}).get("exclude", {}).get("label") != "system":
        fail("the msvc test preset does not leave out the tests labelled system")
    if tests.get("msvc-system", {}).get("filter", {}).get("include", {}).get("label") != "system":
        fail("there is no msvc-system test preset running the tests labelled system")
    cmake = (root / "CMakeLists.txt").read_text(encoding="utf-8")
    if not re.search(r'CMAKE_MSVC_RUNTIME_LIBRARY\s+"MultiThreaded\$<', cmake):
        fail("CMakeLists.txt does not link MSVC's C runtime statically")
    version = re.search(r"project\(corvid VERSION (\d+\.\d+\.\d+)", cmake)
    manifest = json.loads((root / "vcpkg.json").read_text(encoding="utf-8"))
    if not version or manifest.get("version-string") != version.group(1):
        fail("vcpkg.json's version-string is not the project's version")


def main():
    root = pathlib.Path(sys.argv[1])
    workflows = sorted((root / ".github" / "workflows").glob("*.yml"))
    if not workflows:
        fail("no workflow in .github/workflows")
    jobs = {}
    for path in workflows:
        try:
            document = yaml.safe_load(path.read_text(encoding="utf-8"))
        except yaml.YAMLError as error:
            fail(f"{path.name} is not valid YAML: {error}")
        if not isinstance(document, dict) or not isinstance(document.get("jobs"), dict):
            fail(f"{path.name} has no jobs")
        # YAML 1.1 reads the key `on` as the boolean true.
        if "on" not in document and True not in document:
            fail(f"{path.name} has no trigger")
        for name, job in document["jobs"].items():
            if not isinstance(job, dict) or not job.get("runs-on") or not job.get("steps"):
                fail(f"{path.name}: job {name} needs runs-on and steps")
            jobs[f"{path.name}:{name}"] = job

    windows = [job for job in jobs.values() if job["runs-on"] == "windows-2022"]
    if not windows:
        fail("no job runs on windows-2022")
    text = "\n".join(steps_text(job) for job in windows)
    for needed in ("cmake --preset msvc", "cmake --build --preset msvc", "ctest --preset msvc",
                   "check-standard-user.ps1"):
        if needed not in text:
            fail(f"the windows-2022 job does not run `{needed}`")
    script = re.search(r"\\?scripts\\windows\\check-standard-user\.ps1", text)
    if not script or not (root / "scripts" / "windows" / "check-standard-user.ps1").is_file():
        fail("the windows-2022 job names a standard-user check script that is not there")

    check_windows_safety(root, windows, text)
    check_standard_user_script(root)

    linux = [job for job in jobs.values() if str(job["runs-on"]).startswith("ubuntu")]
    if not any(".ci/run" in steps_text(job) or "scripts/test" in steps_text(job) for job in linux):
        fail("no Linux job runs scripts/test")

    manifest = json.loads((root / "vcpkg.json").read_text(encoding="utf-8"))
    if not re.fullmatch(r"[0-9a-f]{40}", manifest.get("builtin-baseline", "")):
        fail("vcpkg.json pins no builtin-baseline (a vcpkg commit)")
    print(f"check_workflows: {len(workflows)} workflow(s), {len(jobs)} job(s) ok")


if __name__ == "__main__":
    main()
