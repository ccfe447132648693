// The texts of the single-case page.  The script posts the fields a coder
// fills in to /v1/explain as a JSON episode (or a raw record as
// {"record": ...}) and shows the record the service built, the result and
// every step; a field the service cannot encode is shown with its reason.
// The fields can also come from the page's query (/?principal=...&submit=1),
// so a link opens a case already grouped.
#include "serve/page.h"

namespace grouper::serve {

std::string_view page_html() {
  return R"HTML(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Group one case</title>
<link rel="stylesheet" href="/page.css">
<script src="/page.js" defer></script>
</head>
<body>
<header><h1>Group one case</h1><p>Enter the case as it is coded, or paste a raw record, and group it with the tables of this service.</p></header>
<main>
<form id="case" autocomplete="off">
<fieldset><legend>Patient and stay</legend>
<label>Episode id <input name="id" id="id" maxlength="8"></label>
<label>Record date <input name="record_date" id="record_date" placeholder="YYYY-MM-DD"></label>
<label>Birth date <input name="birth_date" id="birth_date" placeholder="YYYY-MM-DD"></label>
<label>Sex <select name="sex" id="sex"><option value="M">male</option><option value="F">female</option></select></label>
<label>Length of stay (days) <input name="los" id="los" inputmode="numeric"></label>
<label>Discharge status <input name="discharge" id="discharge" inputmode="numeric"></label>
<label>Birth weight (g) <input name="birth_weight" id="birth_weight" inputmode="numeric"></label>
<label>Ventilation hours <input name="vent_hours" id="vent_hours" inputmode="numeric"></label>
</fieldset>
<fieldset><legend>Codes</legend>
<label>Principal diagnosis <input name="principal" id="principal"></label>
<label>Secondary diagnoses (up to 9, separated by blanks) <input name="secondary" id="secondary" class="wide"></label>
<label>Procedures (up to 36, separated by blanks) <input name="procedures" id="procedures" class="wide"></label>
</fieldset>
<fieldset><legend>Or a raw record</legend>
<label>Raw record (used instead of the fields when given) <textarea name="raw" id="raw" rows="3" spellcheck="false"></textarea></label>
</fieldset>
<fieldset><legend>Service</legend>
<label>Table set (empty: the default) <input name="tables" id="tables"></label>
<label>Token (when the service asks for one) <input name="token" id="token" type="password" autocomplete="current-password"></label>
</fieldset>
<button type="submit" id="submit">Group</button>
</form>
<p id="status" role="status"></p>
<section id="built" hidden><h2>Record grouped</h2><pre id="record"></pre><pre id="ruler"></pre></section>
<section id="result" hidden><h2>Result</h2>
<table><tbody>
<tr><th>MDC</th><td id="mdc"></td></tr>
<tr><th>ADRG</th><td id="adrg"></td></tr>
<tr><th>DRG</th><td id="drg"></td></tr>
<tr><th>PCCL</th><td id="pccl"></td></tr>
<tr><th>Supplementary</th><td id="supplementary"></td></tr>
</tbody></table>
<h3>CCL of each diagnosis</h3><table id="ccls"><thead><tr><th>Position</th><th>Code</th><th>CCL</th></tr></thead><tbody></tbody></table>
<h3>Findings</h3><ul id="findings"></ul>
</section>
<section id="explanation" hidden><h2>Why</h2><div id="steps"></div></section>
</main>
</body>
</html>
)HTML";
}

std::string_view page_script() {
  return R"JS("use strict";
// The fields of an episode, as the service names them; the service builds
// the record from them.
const EPISODE = ["id", "record_date", "birth_date", "sex", "los", "discharge", "birth_weight", "vent_hours",
                 "principal", "secondary", "procedures"];
const FIELDS = EPISODE.concat(["raw", "tables"]);

function $(id) { return document.getElementById(id); }
function el(tag, text, cls) {
  const e = document.createElement(tag);
  if (text !== undefined) e.textContent = text;
  if (cls) e.className = cls;
  return e;
}

// The body to explain: the raw record when one is given, else the episode
// of the filled fields (code lists split at blanks, commas and semicolons).
function caseBody() {
  const raw = $("raw").value.replace(/\r?\n$/, "");
  if (raw !== "") return { record: raw };
  const episode = {};
  for (const name of EPISODE) {
    const value = $(name).value.trim();
    if (value === "") continue;
    episode[name] = name === "secondary" || name === "procedures" ? value.split(/[\s,;]+/) : value;
  }
  return episode;
}

function ruler(length) {
  let line = "";
  for (let i = 0; i < length; i += 10) line += String(i).padEnd(10, " ");
  return line.slice(0, length);
}

function details(summary, open) {
  const d = el("details");
  d.appendChild(el("summary", summary));
  if (open) d.open = true;
  return d;
}
function list(parent, items) {
  const ul = el("ul");
  for (const item of items) ul.appendChild(el("li", item));
  parent.appendChild(ul);
  return ul;
}
// An empty must-hold slot holds 0; an empty must-not-hold slot the
// always-false condition, the set's condition count (or a negative id).
let condCount = -1;
function slots(rule) {
  const must = rule.must_hold.filter(c => c !== 0).join(", ") || "-";
  const not = rule.must_not_hold.filter(c => c >= 0 && c !== condCount).join(", ") || "-";
  return "must hold " + must + "; must not hold " + not;
}

function showSteps(t, text) {
  const steps = $("steps");
  steps.replaceChildren();
  let d = details("Record values: age " + t.record.age_yy + " years, " + t.record.age_dd + " days");
  list(d, t.record.fields.map(f => f.name + " at " + f.offset + ": \"" + f.text + "\" -> " + f.value)
            .concat(["born " + t.record.birth_year + " (" + t.record.century + ")"]));
  steps.appendChild(d);
  d = details("Rule set: " + t.rule_set.table);
  list(d, ["record date \"" + t.rule_set.date_text + "\", switch date \"" + t.rule_set.switch_date + "\""]);
  steps.appendChild(d);
  d = details("Code lookups (" + t.lookups.length + ")");
  list(d, t.lookups.map(l => "position " + l.position + " \"" + l.text + "\": id " + l.id + " flag " + l.flag));
  if (t.rewrite) list(d, ["rewritten from " + t.rewrite.from + " to " + t.rewrite.to]);
  if (t.exchange) list(d, ["dagger/asterisk exchange of positions 1 and 2"]);
  for (const r of t.removed) list(d, ["repeated diagnosis at position " + r.position + " removed"]);
  steps.appendChild(d);
  d = details("Conditions: " + t.table_conditions.length + " from the tables, " + t.logic_conditions.length + " from the logic");
  list(d, t.table_conditions.map(c => "condition " + c.condition + " from position " + c.position + " \"" + c.code + "\" (Tcode row " + c.tcode_row + ")")
            .concat(t.logic_conditions.map(c => "condition " + c.condition + ": " + c.text)));
  steps.appendChild(d);
  for (const p of t.passes) {
    d = details("Pass " + p.pass + ": " + p.tried + " rules tried, " + (p.matched ? "rule " + p.matched.rule + " matched" : "none matched"), true);
    if (p.matched) list(d, ["matched rule " + p.matched.rule + " (" + slots(p.matched) + "): MDC index " + p.matched.mdc + ", ADRG index " + p.matched.adrg]);
    const near = details("Near misses (" + p.near_misses.length + ")");
    near.classList.add("near");
    list(near, p.near_misses.map(n => "rule " + n.rule + " failed only on slot " + n.failed_slot + " (" + slots(n) + ")"));
    d.appendChild(near);
    steps.appendChild(d);
  }
  d = details("Age split and DRG");
  list(d, [t.age_split ? "age split row " + t.age_split.row + ": " + t.age_split.split : "no age split",
           t.drg ? "DRG key " + t.drg.key + " row " + t.drg.row : "no DRG"]);
  steps.appendChild(d);
  if (t.complexity) {
    const c = t.complexity;
    d = details("Complexity: PCCL " + c.pccl);
    list(d, c.ccls.map(x => "position " + x.position + ": CCL " + x.ccl + " (Tccl row " + x.tccl_row + ", column " + x.column + ")")
              .concat(c.exclusions.map(x => "position " + x.position + " excluded by " + x.cause))
              .concat(["CCLs before exclusions " + c.ccl_raw + ", after " + c.ccl_excl, "S " + c.S + ", x " + c.x + ", PCCL " + c.pccl]));
    steps.appendChild(d);
  }
  d = details("Supplementary: " + t.supplementary.code);
  list(d, ["step " + t.supplementary.step + ", row " + t.supplementary.row + ", value " + t.supplementary.value]);
  steps.appendChild(d);
  d = details("The whole explanation as text");
  d.appendChild(el("pre", text));
  steps.appendChild(d);
}

function showResult(t) {
  $("mdc").textContent = t.result.mdc;
  $("adrg").textContent = t.result.adrg;
  $("drg").textContent = t.result.drg;
  $("pccl").textContent = String(t.result.pccl);
  $("supplementary").textContent = t.result.supplementary;
  const body = $("ccls").tBodies[0];
  body.replaceChildren();
  const levels = t.complexity ? t.complexity.ccl_excl : "";
  // Each diagnosis as the grouping looked it up: the try that found the
  // code it used, else the first try.
  const code = {};
  for (const l of t.lookups) {
    if (l.position > 10) continue;
    if (code[l.position] === undefined || (l.id !== 0 && l.id === t.code_ids[l.position])) code[l.position] = l.text.trim();
  }
  for (let p = 1; p <= 10; p++) {
    if (code[p] === undefined) continue;
    const row = el("tr");
    row.appendChild(el("td", String(p)));
    row.appendChild(el("td", code[p]));
    row.appendChild(el("td", p === 1 ? "principal" : (levels[p - 1] || "")));
    body.appendChild(row);
  }
  const findings = $("findings");
  findings.replaceChildren();
  for (const f of t.findings) {
    let words = f.code;
    if (f.position) words += " at position " + f.position;
    if (f.field) words += " (" + f.field + ")";
    if (f.text) words += " \"" + f.text + "\"";
    if (f.to) words += " to \"" + f.to + "\"";
    findings.appendChild(el("li", words));
  }
  if (t.findings.length === 0) findings.appendChild(el("li", "none"));
}

function authorization() {
  const token = $("token").value.trim();
  return token ? { "Authorization": "Bearer " + token } : {};
}

// The condition count of the chosen set, from /v1/tables.
async function loadCondCount() {
  const answer = await fetch("/v1/tables", { headers: authorization() });
  if (!answer.ok) return -1;
  const sets = (await answer.json()).tables;
  const name = $("tables").value.trim();
  const set = sets.find(s => (name ? s.name === name : s.default));
  return set ? set.counts.cond : -1;
}

async function explain(body, format) {
  const headers = Object.assign({ "Content-Type": "application/json" }, authorization());
  const tables = $("tables").value.trim();
  const query = "?format=" + format + (tables ? "&tables=" + encodeURIComponent(tables) : "");
  const answer = await fetch("/v1/explain" + query, { method: "POST", headers, body: JSON.stringify(body) });
  if (!answer.ok) {
    let message = answer.status + " " + answer.statusText;
    try {
      const e = await answer.json();
      message = e.errors ? e.errors.map(x => x.field + ": " + x.message).join("; ") : e.error + ": " + e.message;
    } catch (_) { /* not JSON */ }
    throw new Error(message);
  }
  return format === "json" ? answer.json() : answer.text();
}

async function submitCase(event) {
  if (event) event.preventDefault();
  const status = $("status");
  status.className = "";
  try {
    const body = caseBody();
    status.textContent = "grouping...";
    const [trace, text, conds] = await Promise.all([explain(body, "json"), explain(body, "text"), loadCondCount()]);
    const record = body.record !== undefined ? body.record : trace.built_record;
    $("record").textContent = record;
    $("ruler").textContent = ruler(record.length);
    $("built").hidden = false;
    condCount = conds;
    showResult(trace);
    showSteps(trace, text);
    $("result").hidden = false;
    $("explanation").hidden = false;
    status.textContent = "grouped: DRG " + trace.result.drg;
    document.body.dataset.state = "grouped";
  } catch (e) {
    status.textContent = e.message;
    status.className = "error";
    document.body.dataset.state = "failed";
  }
}

document.addEventListener("DOMContentLoaded", () => {
  $("case").addEventListener("submit", submitCase);
  const query = new URLSearchParams(window.location.search);
  for (const name of FIELDS) if (query.has(name)) $(name).value = query.get(name);
  if (query.get("submit") === "1") submitCase(null);
});
)JS";
}

std::string_view page_style() {
  return R"CSS(body { font-family: system-ui, sans-serif; margin: 0 auto; max-width: 64rem; padding: 1rem; color: #1b1b1b; }
h1 { font-size: 1.5rem; margin-bottom: 0.2rem; }
fieldset { border: 1px solid #bbb; margin: 0 0 0.8rem; padding: 0.6rem 0.8rem; display: flex; flex-wrap: wrap; gap: 0.6rem 1.2rem; }
label { display: flex; flex-direction: column; font-size: 0.9rem; }
input, select, textarea { font: inherit; font-family: ui-monospace, monospace; padding: 0.2rem; }
input.wide, textarea { min-width: 40rem; }
button { font: inherit; padding: 0.4rem 1.4rem; }
pre { background: #f3f3f3; padding: 0.4rem; overflow-x: auto; margin: 0; }
#ruler { color: #888; }
table { border-collapse: collapse; margin-bottom: 0.6rem; }
th, td { border: 1px solid #ccc; padding: 0.2rem 0.6rem; text-align: left; }
#drg { font-weight: bold; font-size: 1.2rem; }
#status.error { color: #a00000; font-weight: bold; }
details { margin: 0.3rem 0; }
details.near { margin-left: 1.2rem; }
summary { cursor: pointer; }
)CSS";
}

std::string_view page_icon() {
  return R"SVG(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 16 16"><rect width="16" height="16" rx="3" fill="#2a5d9f"/><path d="M4 4h5a3 3 0 0 1 0 6H6v2H4z" fill="#fff"/></svg>
)SVG";
}

}  // namespace grouper::serve
