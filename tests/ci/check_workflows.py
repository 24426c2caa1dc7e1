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


def check_windows_safety(root, windows, text):
    """The Windows job runs the system tests apart, keeps its temp directory's long name, caches
    vcpkg's archives, checks the binaries and keeps the reports of a failed run."""
    steps = [step for job in windows for step in job.get("steps", [])]
    env = {}
    for job in windows:
        env.update({str(k): str(v) for k, v in (job.get("env") or {}).items()})
    if "ctest --preset msvc-system" not in text:
        fail("the windows-2022 job does not run the system tests (`ctest --preset msvc-system`)")
    for variable in ("TEMP", "TMP"):
        if not re.search(rf'"{variable}=\$env:RUNNER_TEMP"\s*>>\s*\$env:GITHUB_ENV', text):
            fail(f"the windows-2022 job does not set {variable} to the runner's temp directory")
    sources = env.get("VCPKG_BINARY_SOURCES", "")
    cached = [step for step in step_with(steps, "actions/cache")
              if str((step.get("with") or {}).get("path", "")).strip() in sources]
    if "files," not in sources or not cached:
        fail("the windows-2022 job does not cache vcpkg's binary archives")
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

    linux = [job for job in jobs.values() if str(job["runs-on"]).startswith("ubuntu")]
    if not any(".ci/run" in steps_text(job) or "scripts/test" in steps_text(job) for job in linux):
        fail("no Linux job runs scripts/test")

    manifest = json.loads((root / "vcpkg.json").read_text(encoding="utf-8"))
    if not re.fullmatch(r"[0-9a-f]{40}", manifest.get("builtin-baseline", "")):
        fail("vcpkg.json pins no builtin-baseline (a vcpkg commit)")
    print(f"check_workflows: {len(workflows)} workflow(s), {len(jobs)} job(s) ok")


if __name__ == "__main__":
    main()
