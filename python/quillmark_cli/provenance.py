"""The commands ``sign`` and ``verify``. The SDK (quillmark_files.provenance)
loads only when one of them runs."""

from __future__ import annotations

import argparse
import json
import sys
from typing import Any, Callable

import quillmark_files
from quillmark_files import Package

from .commands import _in_place_target, _open_input_first, _reported, describe_os_error
from .errors import CliError, report, shown
from .progress import file_progress


def add_parsers(commands: Any, threads: Callable[[argparse.ArgumentParser], None]) -> None:
    sign = commands.add_parser(
        "sign",
        help="sign an archive with a C2PA manifest",
        description="Sign the archive: its one manifest record becomes a C2PA manifest store "
        "whose hard binding is the SHA-256 of every byte before that record (before its gzip "
        "member in a .warc.gz), signed with the certificate's key. The archive is written as "
        "append writes it (in place unless -o; members copied unchanged; nothing written on "
        "any failure). An earlier C2PA manifest becomes the parent ingredient of the new one.",
    )
    sign.add_argument("file", metavar="FILE", help="the archive")
    sign.add_argument(
        "--cert", required=True, metavar="CHAIN.pem", help="the signing certificate chain, PEM"
    )
    sign.add_argument("--key", required=True, metavar="KEY.pem", help="its private key, PEM")
    sign.add_argument(
        "--manifest",
        metavar="DEFINITION.json",
        help="the manifest definition (the C2PA SDK's JSON); default: the file's name as "
        "title, format application/warc, one c2pa.created action",
    )
    sign.add_argument(
        "-o", "--output", metavar="OUT", help="write the signed archive to OUT (- for standard "
        "output)"
    )  # fmt: skip
    sign.add_argument("--record-id", metavar="ID", help="WARC-Record-ID of the manifest record")
    sign.add_argument(
        "--no-parent",
        action="store_true",
        help="replace an earlier manifest instead of keeping it as the parent ingredient",
    )
    sign.add_argument(
        "--trust-anchors",
        metavar="PEM",
        help="root certificates the earlier manifest is checked against, for its record",
    )
    threads(sign)
    _add_warc(sign)
    sign.add_argument(
        "--drop-signature",
        action="store_true",
        help="for a signed WACZ package: write it without its package signature",
    )
    sign.add_argument(
        "--wait", action="store_true", help="in place: wait while another process changes FILE"
    )

    verify = commands.add_parser(
        "verify",
        help="verify the signed manifest of archives",
        description="Verify each archive's C2PA manifest store against the bytes it covers "
        "(every byte before its manifest record, which must be the archive's last): the "
        "binding, the signature and, with --trust-anchors, the signer's chain. Exit with status "
        "0 when every archive holds, 1 otherwise, with one line per reason.",
    )
    verify.add_argument("files", metavar="FILE", nargs="+", help="an archive")
    verify.add_argument(
        "--trust-anchors",
        metavar="PEM",
        help="root certificates (PEM): the signer must chain to one of them",
    )
    verify.add_argument("--json", action="store_true", help="one JSON object per archive")
    threads(verify)
    _add_warc(verify)


def _add_warc(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--warc", metavar="NAME", help="for a WACZ package: the WARC inside it (archive/NAME)"
    )


def _text_file(name: str, what: str) -> str:
    try:
        with open(name, "rb") as stream:
            data = stream.read()
    except OSError as exc:
        raise CliError(describe_os_error(name, exc)) from None
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        raise CliError(f"{shown(name)}: the {what} is not UTF-8 text") from None


def _sdk_errors() -> tuple[type[BaseException], ...]:
    from quillmark_files.provenance import SdkError, SdkUnavailable

    return (SdkError, SdkUnavailable)


def run_sign(args: Any) -> int:
    from quillmark_files.provenance import Signer, sign

    if args.output is None:
        _in_place_target(args.file)
    else:
        _open_input_first(args.file)
    try:
        chain = _text_file(args.cert, "certificate chain")
        key = _text_file(args.key, "private key")
        definition = None if args.manifest is None else _text_file(args.manifest, "definition")
        anchors = None if args.trust_anchors is None else _text_file(args.trust_anchors, "anchors")
        signer = Signer.from_pem(chain, key)
        with _reported(), file_progress("signing") as progress:
            result = sign(
                args.file,
                signer,
                args.output,
                definition=definition,
                record_id=args.record_id,
                progress=progress,
                threads=args.threads,
                warc=args.warc,
                drop_signature=args.drop_signature,
                wait=args.wait,
                resign=not args.no_parent,
                trust_anchors=anchors,
            )
    except _sdk_errors() as exc:
        raise CliError(str(exc)) from None
    except ValueError as exc:  # a record id or an option that does not apply
        raise CliError(str(exc)) from None
    if result.replaced_unreadable:
        report(f"note: the earlier manifest store was replaced: {result.replaced_unreadable}")
    if result.parent is not None and result.parent_problem:
        report(
            f"note: the earlier manifest {result.parent} did not verify "
            f"({result.parent_problem}); it is the parent ingredient, recorded as found"
        )
    written = result.archive
    line = (
        f"{shown(result.output)}: signed by {signer_name(signer)}; "
        f"bytes 0 to {result.covered} covered (SHA-256 {result.sha256}); "
        f"manifest record at offset {written.manifest_offset}"
    )
    if written.compressed:
        line += f", in the gzip member at byte {written.member_offset}"
    if result.parent is not None:
        line += f"; parent ingredient {result.parent}"
    to_stderr = args.output == "-"
    print(line, file=sys.stderr if to_stderr else sys.stdout)
    return 0


def signer_name(signer: Any) -> str:
    from cryptography import x509

    certificate = x509.load_pem_x509_certificates(signer.chain.encode("ascii"))[0]
    return str(certificate.subject.rfc4514_string())


def run_verify(args: Any) -> int:
    from quillmark_files.provenance import verify

    anchors = None if args.trust_anchors is None else _text_file(args.trust_anchors, "anchors")
    status = 0
    for name in args.files:
        try:
            for source, warc in _archives(name, args.warc):
                with _reported(name), file_progress("verifying") as progress:
                    found = verify(
                        source,
                        trust_anchors=anchors,
                        warc=warc,
                        progress=progress,
                        threads=args.threads,
                    )
                _show(found, args.json)
                for reason in found.reasons:
                    report(f"{shown(found.path)}: {reason}")
                if not found.valid:
                    status = 1
        except _sdk_errors() as exc:
            raise CliError(str(exc)) from None
        except CliError as exc:
            report(str(exc))
            status = 1
    return status


def _archives(name: str, warc: str | None) -> Any:
    """The archives to verify for ``name``: a file, the WARC ``warc`` of a
    package, or each WARC of a package."""
    if warc is not None or not quillmark_files.is_package(name):
        yield name, warc
        return
    with _reported(name):
        package = Package(name)
    with package:
        for entry in package.warcs:
            yield package, entry.name


def _show(found: Any, as_json: bool) -> None:
    found_report = found.report
    if as_json:
        print(json.dumps(as_dict(found), sort_keys=False), flush=True)
        return
    trust = (
        "trust not checked (no --trust-anchors)"
        if found.trusted is None
        else ("trusted" if found.trusted else "not trusted")
    )
    is_store = found_report is not None and found_report.is_store
    lines = [f"{shown(found.path)}: {found.signature}" + (f", {trust}" if is_store else "")]
    if is_store:
        issuer = found_report.signer_issuer or "unknown"
        lines.append(f"  signer: {found_report.signer_subject} (issued by {issuer})")
        lines.append(f"  signed at: {found_report.signing_time or 'no time (no timestamp)'}")
        assert found.covered is not None
        lines.append(
            f"  covered: bytes {found.covered[0]} to {found.covered[1]}; "
            "the manifest record starts there"
        )
        lines.append(f"  assertions: {', '.join(found_report.assertions) or 'none'}")
    print("\n".join(lines), flush=True)


def as_dict(found: Any) -> dict[str, Any]:
    """A Verification as a JSON object."""
    found_report = found.report
    is_store = found_report is not None and found_report.is_store
    return {
        "path": found.path,
        "signature": found.signature,
        "valid": found.valid,
        "trusted": found.trusted,
        "reasons": list(found.reasons),
        "signer": found_report.signer_subject if is_store else None,
        "issuer": found_report.signer_issuer if is_store else None,
        "signing_time": found_report.signing_time if is_store else None,
        "algorithm": found_report.algorithm if is_store else None,
        "title": found_report.title if is_store else None,
        "active_manifest": found_report.active_manifest if is_store else None,
        "assertions": list(found_report.assertions) if is_store else [],
        "covered": None if found.covered is None else {"start": 0, "end": found.covered[1]},
        "failures": [
            {"code": s.code, "explanation": s.explanation, "url": s.url}
            for s in (found_report.failures if is_store else ())
        ],
    }
