// Checks a HAR file against the HAR 1.2 JSON Schema with npm's har-validator: exit 0 when valid,
// else 1 with the schema's complaints.
const fs = require('fs');
const validator = require('har-validator');

const har = JSON.parse(fs.readFileSync(process.argv[2], 'utf8'));
validator.har(har).then(
    () => console.log('valid HAR'),
    (error) => {
        console.error(JSON.stringify(error.errors || error.message, null, 1));
        process.exit(1);
    });
