// The Kubernetes manifests in packaging/kubernetes/, checked offline:
// - every object against the Kubernetes API's OpenAPI schema (the
//   kubernetes-models package: types, formats, required fields), and through
//   TypeScript's excess-property check against the same models' types, which
//   the schema alone lets pass: a misspelt field is an error, as it is for
//   `kubectl apply` with strict field validation;
// - every Deployment of the server against the server itself: its options
//   are accepted by the real binary; the termination grace covers the drain
//   delay and the shutdown grace it gives; probes, ports, annotations and
//   Service ports agree with the image's listeners; the security context and
//   resources are set; a PodDisruptionBudget covers it;
// - the kustomization: `kubectl kustomize` (where kubectl is installed)
//   renders the objects of the files it lists;
// - the HAProxy and Prometheus configurations carried in ConfigMaps, by
//   haproxy -c and promtool check config where they are installed.
// usage: node tests/manifests_test.mjs MODULES_DIR SERVER
import { spawn, spawnSync } from "node:child_process";
import fs from "node:fs";
import { createRequire } from "node:module";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";

const root = path.dirname(path.dirname(fileURLToPath(import.meta.url)));
const [modulesDir, server] = process.argv.slice(2);
const require = createRequire(path.join(path.resolve(modulesDir), "index.js"));
const yaml = require("js-yaml");
const manifestsDir = path.join(root, "packaging", "kubernetes");
const failures = [];
const fail = (where, what) => failures.push(`${where}: ${what}`);

// What the image runs: its entry point's arguments and its user.
const containerfile = fs.readFileSync(path.join(root, "packaging/container/Containerfile"), "utf8");
const entrypoint = JSON.parse(/^ENTRYPOINT (\[.*\])$/m.exec(containerfile.replace(/\\\n/g, ""))[1]);
const imageUser = Number(/^USER (\d+):\d+$/m.exec(containerfile)[1]);
const version = spawnSync(server, ["--version"], { encoding: "utf8" }).stdout.trim().split(" ")[1];
const help = spawnSync(server, ["--help"], { encoding: "utf8" }).stdout;

// The value the server takes for `name` from `args`: the last one given, or its default.
function option(args, name) {
  let value;
  args.forEach((arg, i) => {
    if (arg === name) value = args[i + 1];
    else if (arg.startsWith(name + "=")) value = arg.slice(name.length + 1);
  });
  if (value !== undefined) return value;
  const described = new RegExp(name + " [\\s\\S]*?\\(default (\\d+)").exec(help);
  return described ? described[1] : undefined;
}
const port = (endpoint) => Number(endpoint.slice(endpoint.lastIndexOf(":") + 1));

const modelPath = (doc) => `kubernetes-models/${doc.apiVersion}/${doc.kind}`;

// A container's CAPECHO_ variables as the arguments the server takes them
// for (lists separated by blanks, switches yes or no), before its args.
function settingsOf(container) {
  return (container.env ?? []).filter((e) => e.name.startsWith("CAPECHO_")).flatMap((e) => {
    const name = "--" + e.name.slice("CAPECHO_".length).toLowerCase().replaceAll("_", "-");
    if (["yes", "true", "1"].includes(e.value)) return [name];
    if (["no", "false", "0", ""].includes(e.value)) return [];
    return e.value.trim().split(/\s+/).map((v) => `${name}=${v}`);
  });
}

// Starts the server with a manifest's options and variables (on loopback,
// free ports) and stops it: it must have started, and exit 0.
function serverAccepts(args, variables) {
  return new Promise((resolve) => {
    const env = { ...process.env };
    for (const e of variables ?? []) env[e.name] = e.value;
    const child = spawn(server, [...args, "--listen", "127.0.0.1:0", "--metrics", "127.0.0.1:0"], { env });
    let log = "";
    const timer = setTimeout(() => child.kill("SIGKILL"), 10000);
    child.stderr.on("data", (data) => {
      log += data;
      if (log.includes("listening on 127.0.0.1:")) child.kill("SIGQUIT");
    });
    child.on("exit", (code, signal) => {
      clearTimeout(timer);
      resolve(code === 0 && log.includes("listening on") ? null : `status ${code ?? signal}: ${log}`);
    });
  });
}

const matches = (selector, labels) =>
  Object.entries(selector ?? {}).every(([k, v]) => labels?.[k] === v);

async function checkServerDeployment(where, deployment, objects, text) {
  const pod = deployment.spec.template;
  const container = pod.spec.containers.find((c) => /(^|\/)capecho-server:/.test(c.image));
  const args = [...settingsOf(container), ...entrypoint.slice(1), ...(container.args ?? [])];
  const seconds = (name) => Number(option(args, name));

  if (!container.image.endsWith(`capecho-server:${version}`))
    fail(where, `image ${container.image} is not version ${version}`);
  const refused = await serverAccepts(container.args ?? [], container.env);
  if (refused) fail(where, `the server refuses the manifest's options: ${refused}`);

  // Rolling updates: endpoints go while the server still accepts, sessions
  // finish, and the kubelet waits for all of it.
  const drain = seconds("--drain-delay");
  const grace = seconds("--shutdown-grace");
  const termination = pod.spec.terminationGracePeriodSeconds ?? 30;
  if (!(drain >= 5)) fail(where, `--drain-delay ${drain}: endpoints need seconds to go`);
  if (!(termination >= drain + grace + 5))
    fail(where, `terminationGracePeriodSeconds ${termination} < --drain-delay ${drain} + --shutdown-grace ${grace} + 5`);
  const strategy = deployment.spec.strategy?.rollingUpdate;
  if (strategy?.maxUnavailable !== 0) fail(where, "a rolling update must not stop a pod before its successor is ready");

  // Ports: the image's listeners, the container's ports, probes, annotations, Services.
  const named = Object.fromEntries((container.ports ?? []).map((p) => [p.name, p.containerPort]));
  const resolve = (p) => (typeof p === "string" ? named[p] : p);
  const echoPorts = args.flatMap((a, i) => (a === "--listen" ? [port(args[i + 1])] : []));
  const metricsPort = port(option(args, "--metrics") ?? "");
  if (!echoPorts.every((p) => p === named.echo)) fail(where, `port echo ${named.echo} is not the listeners' ${echoPorts}`);
  if (named.metrics !== metricsPort) fail(where, `port metrics ${named.metrics} is not --metrics' ${metricsPort}`);
  for (const [probe, path] of [["readinessProbe", "/readyz"], ["livenessProbe", "/healthz"]]) {
    const get = container[probe]?.httpGet;
    if (!get || get.path !== path || resolve(get.port) !== metricsPort)
      fail(where, `${probe} must GET ${path} on port ${metricsPort}: a probe elsewhere is a session`);
  }
  const annotations = pod.metadata.annotations ?? {};
  if (annotations["prometheus.io/scrape"] !== "true" || Number(annotations["prometheus.io/port"]) !== metricsPort)
    fail(where, "the prometheus.io annotations must name the metrics port");
  const podLabels = pod.metadata.labels;
  const services = objects.filter((o) => o.kind === "Service" && matches(o.spec.selector, podLabels));
  if (services.length === 0) fail(where, "no Service selects its pods");
  for (const s of services)
    for (const p of s.spec.ports)
      if (resolve(p.targetPort ?? p.port) !== named.echo) fail(where, `Service ${s.metadata.name} targets port ${p.targetPort}`);
  if (!objects.some((o) => o.kind === "PodDisruptionBudget" && matches(o.spec.selector.matchLabels, podLabels)))
    fail(where, "no PodDisruptionBudget covers its pods");

  // Security and resources.
  const podSecurity = pod.spec.securityContext ?? {};
  const security = container.securityContext ?? {};
  const required = {
    "runAsNonRoot": podSecurity.runAsNonRoot === true,
    [`runAsUser ${imageUser}`]: podSecurity.runAsUser === imageUser,
    "seccompProfile RuntimeDefault": podSecurity.seccompProfile?.type === "RuntimeDefault",
    "readOnlyRootFilesystem": security.readOnlyRootFilesystem === true,
    "allowPrivilegeEscalation false": security.allowPrivilegeEscalation === false,
    "capabilities drop ALL": (security.capabilities?.drop ?? []).includes("ALL"),
  };
  for (const [what, ok] of Object.entries(required)) if (!ok) fail(where, `securityContext needs ${what}`);
  for (const kind of ["requests", "limits"])
    for (const resource of ["cpu", "memory"])
      if (container.resources?.[kind]?.[resource] === undefined) fail(where, `no ${resource} ${kind}`);
  const nofile = /nofile >= (\d+)/.exec(text);
  const sessions = seconds("--max-connections");
  if (!nofile || Number(nofile[1]) < sessions + 64)
    fail(where, `the nofile limit it documents must cover --max-connections ${sessions} and some`);
}

// Configuration files carried in ConfigMaps, checked by their own programs.
function checkCarriedConfig(where, key, content) {
  const checkers = { "haproxy.cfg": ["haproxy", ["-c", "-f"]], "prometheus.yml": ["promtool", ["check", "config"]] };
  if (!checkers[key]) return 0;
  const [program, args] = checkers[key];
  const file = path.join(fs.mkdtempSync(path.join(os.tmpdir(), "capecho-manifest-")), key);
  // Debian's Prometheus is built without Kubernetes discovery: the scrape
  // job and its relabelling are checked on a static target instead.
  fs.writeFileSync(file, content.replace(/kubernetes_sd_configs:(\n\s+)- role: \w+/g, 'static_configs:$1- targets: ["pod:9120"]'));
  const env = { ...process.env, PATH: `${process.env.PATH}:/usr/sbin:/sbin` };
  const run = spawnSync(program, [...args, file], { encoding: "utf8", env });
  fs.rmSync(path.dirname(file), { recursive: true });
  if (run.error?.code === "ENOENT") {
    console.log(`manifests: ${program} is not installed: ${key} in ${where} is not checked`);
    return 0;
  }
  if (run.status !== 0) fail(where, `${key}: ${program} says: ${run.stdout}${run.stderr}`);
  return 1;
}

// `kubectl apply -k` applies what `-f` on its resources would.
function checkKustomization(where, dir, doc) {
  const names = (docs) => docs.filter((d) => d).map((d) => `${d.kind} ${d.metadata.name}`).sort().join(", ");
  const listed = (doc.resources ?? []).flatMap((r) => {
    if (fs.existsSync(path.join(dir, r))) return yaml.loadAll(fs.readFileSync(path.join(dir, r), "utf8"));
    fail(where, `no resource ${r}`);
    return [];
  });
  const kubectl = spawnSync("kubectl", ["kustomize", dir], { encoding: "utf8" });
  if (kubectl.error?.code === "ENOENT") {
    console.log("manifests: kubectl is not installed: the kustomization is not rendered");
  } else if (kubectl.status !== 0 || names(yaml.loadAll(kubectl.stdout)) !== names(listed)) {
    fail(where, `kubectl kustomize gives ${kubectl.stderr}${names(yaml.loadAll(kubectl.stdout ?? ""))}, not ${names(listed)}`);
  }
}

const generated = path.join(modulesDir, "typed");
fs.rmSync(generated, { recursive: true, force: true });
fs.mkdirSync(generated);
let objects = 0, servers = 0, configs = 0;
const files = fs.readdirSync(manifestsDir, { recursive: true }).filter((f) => /\.ya?ml$/.test(f)).sort();
for (const file of files) {
  const text = fs.readFileSync(path.join(manifestsDir, file), "utf8");
  const docs = yaml.loadAll(text).filter((d) => d !== null);
  for (const [n, doc] of docs.entries()) {
    const where = `${file} #${n + 1} ${doc.kind} ${doc.metadata?.name ?? ""}`;
    if (doc.kind === "Kustomization") {
      checkKustomization(where, path.join(manifestsDir, path.dirname(file)), doc);
      continue;
    }
    let Model;
    try {
      Model = require(modelPath(doc))[doc.kind];
    } catch {
      fail(where, `no schema for ${doc.apiVersion} ${doc.kind}`);
      continue;
    }
    try {
      new Model(doc).validate();
    } catch (e) {
      fail(where, e.message);
    }
    const name = `${file.replace(/\W/g, "_")}_${n + 1}`;
    fs.writeFileSync(path.join(generated, `${name}.ts`),
      `// ${where}\nimport type { I${doc.kind} } from "${modelPath(doc)}";\n` +
      `export const object: I${doc.kind} = ${JSON.stringify(doc, null, 2)};\n`);
    ++objects;
    if (doc.kind === "Deployment" && doc.spec.template.spec.containers.some((c) => /(^|\/)capecho-server:/.test(c.image))) {
      await checkServerDeployment(where, doc, docs, text);
      ++servers;
    }
    for (const [key, content] of Object.entries(doc.kind === "ConfigMap" ? doc.data ?? {} : {}))
      configs += checkCarriedConfig(where, key, content);
  }
}
if (servers === 0) fail("packaging/kubernetes", "no Deployment of capecho-server");

const typed = fs.readdirSync(generated).map((f) => path.join(generated, f));
const tsc = spawnSync(process.execPath, [require.resolve("typescript/bin/tsc"), "--noEmit", "--strict",
  "--module", "node16", "--moduleResolution", "node16", "--skipLibCheck", ...typed], { encoding: "utf8" });
if (tsc.status !== 0) fail("unknown or mistyped fields", `\n${tsc.stdout}${tsc.stderr}`);

if (failures.length > 0) {
  for (const f of failures) console.error(`manifests: ${f}`);
  process.exit(1);
}
const models = require("kubernetes-models/package.json").version;
console.log(`manifests: ${objects} objects in ${files.length} files valid (kubernetes-models ${models}, strict fields); ` +
  `${servers} server Deployments consistent with the server; ${configs} carried configurations checked`);
