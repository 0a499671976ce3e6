"""Runs the wine tests' small console programs quickly: one wine server per session,
kept up with its services between programs, and output read from a file."""

import subprocess

import winehost


def keep_server(session):
    """Keeps the session's wine server and its services up between programs, so that
    each later program starts in a fraction of a second."""
    subprocess.run([winehost.SERVER, "-p"], env=session.env, check=True, timeout=winehost.WAIT)


def run(session, exe, *args, cwd=None):
    """Runs a console program to its end; its exit status and output lines. The output
    goes through a file: wine's services would hold a pipe open after the program."""
    proc = session.start(exe, *args, cwd=cwd)
    proc.wait(timeout=winehost.WAIT)
    with open(session.processes[-1][1]) as log:
        return proc.returncode, log.read().splitlines()
