"""The manifest definition a store is signed from: the caller's, completed
with what quillmark fills in, and the parent ingredient when re-signing."""

from __future__ import annotations

import json
from typing import TYPE_CHECKING, Any, Union

from ._failures import SdkError

if TYPE_CHECKING:
    from ._report import VerifyReport

WARC_FORMAT = "application/warc"
STORE_FORMAT = "application/c2pa"
CLAIM_GENERATOR = "quillmark"
# An archive records what a server sent, as a recorder would: the IPTC term a
# c2pa.created action must name.
DIGITAL_SOURCE_TYPE = "http://cv.iptc.org/newscodes/digitalsourcetype/digitalCapture"
# How the ingredient and its resource name the earlier store.
PARENT_ID = "quillmark.parent"
PARENT_RESOURCE = "quillmark-parent.c2pa"


Definition = Union[dict[str, Any], str, None]


def default_definition(title: str) -> dict[str, Any]:
    """The manifest quillmark writes when given none: the archive's title
    and format, quillmark as claim generator, one c2pa.created action."""
    return completed({}, title, parent=None)


def _claim_generator() -> dict[str, str]:
    import quillmark

    return {"name": CLAIM_GENERATOR, "version": str(quillmark.__version__)}


def parsed(definition: Definition) -> dict[str, Any]:
    """The definition as a fresh dict: a dict is copied, text parsed."""
    if definition is None:
        return {}
    try:
        text = definition if isinstance(definition, str) else json.dumps(definition)
        value = json.loads(text)
    except (TypeError, ValueError) as error:
        raise SdkError(f"the manifest definition is not valid JSON: {error}") from None
    if not isinstance(value, dict):
        raise SdkError("the manifest definition is not a JSON object")
    return value


def _actions(definition: dict[str, Any]) -> list[Any] | None:
    """The action list of the definition's c2pa.actions assertion, if any."""
    for assertion in definition.get("assertions") or []:
        if isinstance(assertion, dict) and str(assertion.get("label", "")).startswith(
            "c2pa.actions"
        ):
            data = assertion.get("data")
            actions = data.get("actions") if isinstance(data, dict) else None
            return actions if isinstance(actions, list) else None
    return None


def completed(
    definition: dict[str, Any], title: str, parent: VerifyReport | None
) -> dict[str, Any]:
    for member in ("assertions", "ingredients"):
        if not isinstance(definition.get(member, []), list):
            raise SdkError(f"the manifest definition's {member} is not a list")
    definition.setdefault("title", title)
    definition.setdefault("format", WARC_FORMAT)
    definition.setdefault("claim_generator_info", [_claim_generator()])
    actions = _actions(definition)
    if actions is None:
        first: dict[str, Any] = {"action": "c2pa.created", "digitalSourceType": DIGITAL_SOURCE_TYPE}
        if parent is not None:
            first = {"action": "c2pa.opened"}
        assertions = definition.setdefault("assertions", [])
        assertions.append({"label": "c2pa.actions", "data": {"actions": [first]}})
        actions = [first]
    if parent is not None:
        definition.setdefault("ingredients", []).append(
            {
                "title": parent.title or title,
                "format": WARC_FORMAT,
                "relationship": "parentOf",
                "label": PARENT_ID,
                "active_manifest": parent.active_manifest,
                "validation_results": parent.validation_results,
                "manifest_data": {"format": STORE_FORMAT, "identifier": PARENT_RESOURCE},
            }
        )
        for action in actions:
            if isinstance(action, dict) and action.get("action") == "c2pa.opened":
                parameters = action.setdefault("parameters", {})
                if isinstance(parameters, dict) and "ingredients" not in parameters:
                    parameters.setdefault("ingredientIds", [PARENT_ID])
    return definition
