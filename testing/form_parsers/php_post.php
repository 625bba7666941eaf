#!/usr/bin/php-cgi -dcgi.force_redirect=0
<?php
// A login application that reads the form from $_POST under php-cgi (which
// the shebang runs without an Action redirect). Prints what it read as JSON,
// as parse_qs.py does.
header('Content-Type: application/json');
$read = [];
foreach (['username', 'domain', 'result', 'password'] as $k)
    $read[$k] = $_POST[$k] ?? null;
echo json_encode(['read' => $read, 'all' => $_POST], JSON_INVALID_UTF8_SUBSTITUTE | JSON_PARTIAL_OUTPUT_ON_ERROR);
