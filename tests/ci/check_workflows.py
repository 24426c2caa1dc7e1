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

    linux = [job for job in jobs.values() if str(job["runs-on"]).startswith("ubuntu")]
    if not any(".ci/run" in steps_text(job) or "scripts/test" in steps_text(job) for job in linux):
        fail("no Linux job runs scripts/test")

    manifest = json.loads((root / "vcpkg.json").read_text(encoding="utf-8"))
    if not re.fullmatch(r"[0-9a-f]{40}", manifest.get("builtin-baseline", "")):
        fail("vcpkg.json pins no builtin-baseline (a vcpkg commit)")
    print(f"check_workflows: {len(workflows)} workflow(s), {len(jobs)} job(s) ok")


if __name__ == "__main__":
    main()
